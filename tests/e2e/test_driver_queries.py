"""dravel's raw daemon queries (olsr1_nodeinfo, olsr2_nodeinfo) against the
stand-in daemons: compact answers when they run, failure codes when not,
and the assertion that guards the queries' contract."""
import json
import os
import signal
import unittest

from harness import (DRAVEL, DRIVER_LABELS, SandboxTest, driver_json, olsrd, olsrd2,
                     parse_driver_output, run, run_dravel, standin_answers)


class DriverQueries(SandboxTest):
    def test_prints_compact_answers_of_both_daemons(self):
        v1 = standin_answers("olsrd")
        v2 = standin_answers("olsrd2")
        with olsrd(v1), olsrd2(v2):
            lines, proc = run_dravel()
        self.assertEqual(proc.returncode, 0)
        compact = lambda v: json.dumps(v, separators=(",", ":"))
        self.assertEqual(lines["olsr1_nodeinfo"], compact(v1["version"]))
        self.assertEqual(lines["olsr2_nodeinfo"], compact(v2["nhdpinfo jsonraw link"]))

    def test_daemons_down_print_failed_1_and_exit_0(self):
        lines, proc = run_dravel()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(lines["olsr1_nodeinfo"], "failed 1")
        self.assertEqual(lines["olsr2_nodeinfo"], "failed 1")

    def test_answer_that_is_not_json_prints_failed_2048(self):
        with olsrd({"version": {"$raw": "olsrd 0.9.8"}}), \
             olsrd2({"nhdpinfo jsonraw link": {"$raw": "[1,2]"}}):
            lines, proc = run_dravel()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(lines["olsr1_nodeinfo"], "failed 2048")
        self.assertEqual(lines["olsr2_nodeinfo"], "failed 2048")

    def test_answer_opening_with_brace_but_unparsable_prints_null(self):
        with olsrd({"version": {"$raw": "{broken"}}):
            lines, _ = run_dravel()
        self.assertEqual(lines["olsr1_nodeinfo"], "null")

    def test_http_error_status_prints_its_code(self):
        with olsrd({"version": {"$status": 404}}):
            lines, _ = run_dravel()
        self.assertEqual(lines["olsr1_nodeinfo"], "failed %d" % (0x400 | 404))


class DriverAssertion(SandboxTest):
    def test_lines_printed_before_the_assertion_survive_its_abort(self):
        # A failed query that hands back an object ends the run at d2's
        # assertion; the lines before it are still in the pipe.
        env = dict(os.environ, LD_PRELOAD=os.environ["FAILING_QUERY"])
        # A sanitizer build checks that its runtime loads first.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        proc = run([DRAVEL], env=env, check=False)
        self.assertEqual(proc.returncode, -signal.SIGABRT, proc.stderr)
        # glibc's and musl's forms of the assertion's message.
        self.assertRegex(proc.stderr, r"debug/dravel\.cc:23: .*Assertion `!res' failed\."
                         r"|Assertion failed: !res \(debug/dravel\.cc: \w+: 23\)")
        lines = parse_driver_output(proc.stdout)
        self.assertEqual(list(lines), DRIVER_LABELS[:5])
        self.assertEqual(lines["olsr1_nodeinfo"], "failed 1")


if __name__ == "__main__":
    unittest.main()
