"""The refresh command olsr-kavond, installed as /usr/bin/olsr-kavond: it
prints each document as dravel computes it, and --update stores that
document in the cache file that the provider table reads."""
import copy
import os
import shutil
import signal
import subprocess
import time
import unittest

from harness import (KAVOND, DOCUMENTS, SandboxTest, cache_file, init_exit, init_script,
                     leftovers, mesh0_with_peer, olsrd, olsrd2, one_neighbour_answers, remove_cache_files,
                     run, run_dravel, site_config, strict_json)

COMMAND = "/usr/bin/olsr-kavond"
# linkQuality 0: an "etx" of infinity, which JSON can only carry as null.
OLSRD, OLSRD2 = one_neighbour_answers(link_quality=0)


class Refresh(SandboxTest):
    @classmethod
    def setUpClass(cls):
        shutil.copy(KAVOND, COMMAND)

    def setUp(self):
        super().setUp()
        remove_cache_files()
        site_config(v1=True, v2=True)
        init_exit("olsrd", 0)
        init_exit("olsrd2", 0)
        self.veth = mesh0_with_peer(self)

    def test_prints_and_stores_what_dravel_prints(self):
        with olsrd(OLSRD), olsrd2(OLSRD2):
            lines, proc = run_dravel()
            self.assertEqual(proc.returncode, 0)
            for name in DOCUMENTS:
                with self.subTest(name=name):
                    printed = run([COMMAND, name])
                    self.assertEqual(printed.stdout, lines["provider_" + name])
                    self.assertEqual(printed.stderr, "")
                    stored = run([COMMAND, "--update", name])
                    self.assertEqual(stored.stdout, "")
                    with open(cache_file(name)) as f:
                        self.assertEqual(f.read(), lines["provider_" + name])
        neighbours = strict_json(lines["provider_neighbours"])
        record = neighbours["batadv"]["02:00:00:00:01:01"]["neighbours"]["02:00:00:00:01:02"]
        self.assertIsNone(record["etx"], "the mean of 4.0 and infinity is written as null")
        self.assertEqual(record["tq"], 0.0)

    def test_library_messages_stay_off_the_document(self):
        # An olsrd link with an IPv6 remote address cannot be probed: the
        # library says so on standard output, which must not reach the pipe
        # that the refresh reads the document from.
        answers = copy.deepcopy(OLSRD)
        answers["links"]["links"].append(
            {"ifName": "mesh0", "remoteIP": "fe80::2", "linkQuality": 1,
             "neighborLinkQuality": 1})
        with olsrd(answers), olsrd2(OLSRD2):
            printed = run([COMMAND, "neighbours"])
            self.assertIn("Invalid source IP", printed.stderr)
            document = strict_json(printed.stdout)
            self.assertIn("02:00:00:00:01:02",
                          document["batadv"]["02:00:00:00:01:01"]["neighbours"])
            run([COMMAND, "--update", "neighbours"])
            with open(cache_file("neighbours")) as f:
                self.assertEqual(strict_json(f.read()), document)

    def test_update_starts_nothing_while_a_refresh_of_the_name_runs(self):
        log = "/run/olsrd-requests.log"
        site_config(v1=True)
        with olsrd({"*": {"$hang": 120}}, log=log):
            first = subprocess.Popen([COMMAND, "--update", "nodeinfo"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
            self.addCleanup(first.wait)
            self.addCleanup(os.killpg, first.pid, signal.SIGKILL)
            deadline = time.monotonic() + 10
            while not (os.path.exists(log) and os.path.getsize(log) > 0):
                self.assertLess(time.monotonic(), deadline, "the first refresh asked nothing")
                time.sleep(0.02)
            started = time.monotonic()
            second = run([COMMAND, "--update", "nodeinfo"], timeout=20)
            self.assertLess(time.monotonic() - started, 5)
            self.assertEqual(second.stdout, "")
            self.assertEqual(second.stderr,
                             "olsr-kavond: a refresh of nodeinfo is already under way\n")
            self.assertIsNone(first.poll(), "the first refresh still runs")
            # Other names are refreshed as usual meanwhile.
            run([COMMAND, "--update", "statistics"])
            self.assertTrue(os.path.exists(cache_file("statistics")))

    def test_update_ends_within_its_bound(self):
        """A refresh that waits on a stopped daemon, or on an init script
        that never ends, is stopped with all it started at its bound: exit
        1 naming what it waited for, nothing stored, the lock released."""
        site_config(v1=True)
        old = '{"old":true}'
        cases = [("daemon stopped", "olsrd on 127.0.0.1:9090"),
                 ("init script hangs", '"/bin/sh /etc/init.d/olsrd running"')]
        for case, named in cases:
            with self.subTest(case=case), olsrd(OLSRD) as daemon:
                with open(cache_file("nodeinfo"), "w") as f:
                    f.write(old)
                if case == "daemon stopped":
                    os.kill(daemon.proc.pid, signal.SIGSTOP)
                else:
                    init_script("olsrd", "sleep 60")
                started = time.monotonic()
                bounded = run([COMMAND, "--update", "--timeout", "3", "nodeinfo"], check=False)
                took = time.monotonic() - started
                os.kill(daemon.proc.pid, signal.SIGCONT)
                init_exit("olsrd", 0)
                self.assertEqual(bounded.returncode, 1, bounded.stderr)
                self.assertIn(f"no document within 3 s, while waiting for {named}",
                              bounded.stderr)
                # The library alone would wait 300 s, the default bound 120 s.
                self.assertGreaterEqual(took, 3.0)
                self.assertLess(took, 30)
                self.assertEqual(leftovers(), [], "the refresh left processes behind")
                with open(cache_file("nodeinfo")) as f:
                    self.assertEqual(f.read(), old)
                run([COMMAND, "--update", "nodeinfo"])
                with open(cache_file("nodeinfo")) as f:
                    self.assertIn("olsr1", strict_json(f.read())["software"])

    def test_update_keeps_the_cache_when_the_provider_fails(self):
        with open(cache_file("neighbours"), "w") as f:
            f.write('{"batadv":{"old":{}}}')
        # olsrd2 is flagged running but does not answer: no neighbours.
        with olsrd(OLSRD):
            printed = run([COMMAND, "neighbours"], check=False)
            self.assertEqual(printed.returncode, 1)
            self.assertEqual(printed.stdout, "")
            self.assertEqual(printed.stderr.count("\n"), 1, printed.stderr)
            stored = run([COMMAND, "--update", "neighbours"], check=False)
            self.assertNotEqual(stored.returncode, 0)
        with open(cache_file("neighbours")) as f:
            self.assertEqual(f.read(), '{"batadv":{"old":{}}}')

    def test_unknown_name_and_usage(self):
        unknown = run([COMMAND, "weather"], check=False)
        self.assertEqual(unknown.returncode, 1)
        self.assertEqual(unknown.stdout, "")
        self.assertEqual(unknown.stderr, 'olsr-kavond: unknown provider "weather"\n')
        self.assertFalse(os.path.exists(cache_file("weather")))
        for args in ([], ["--update"], ["a", "b"], ["--update", "nodeinfo", "x"], ["-x"],
                     ["--timeout", "3", "nodeinfo"], ["--update", "--timeout", "0", "nodeinfo"],
                     ["--update", "--timeout", "3s", "nodeinfo"], ["--update", "nodeinfo",
                                                                   "--timeout"]):
            usage = run([COMMAND, *args], check=False)
            self.assertEqual(usage.returncode, 2, args)
            self.assertEqual(usage.stdout, "", args)
            self.assertEqual(usage.stderr.count("\n"), 1, args)
        for flag in ("--help", "-h"):
            helped = run([COMMAND, flag])
            self.assertEqual(helped.stderr, "")
            for word in ("--update", "--timeout SECONDS", "nodeinfo", "statistics", "neighbours"):
                self.assertIn(word, helped.stdout)

    def test_driver_reads_the_cache_through_make_safe(self):
        with open(cache_file("n"), "w") as f:
            f.write('{"cached":[1,2]}')
        try:
            lines, _ = run_dravel()
            self.assertEqual(lines["make_safe"], '{"cached":[1,2]}')
        finally:
            os.remove(cache_file("n"))
        lines, _ = run_dravel()
        self.assertEqual(lines["make_safe"], "failed")


if __name__ == "__main__":
    unittest.main()
