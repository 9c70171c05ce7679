"""olsr-kavond --check: one finding per line, beginning with ok, warn or
FAIL, a hint under each warn and FAIL, exit status 1 exactly when
something failed, and never a wait beyond the stages' deadlines. Findings
are matched by their leading word and the facts they must name, not by
their whole text."""
import os
import shutil
import subprocess
import time
import unittest

from harness import (KAVOND, DOCUMENTS, MESH0_MAC, LocalPort, SandboxTest, Zistad,
                     cache_file, check_no_crash, init_exit, init_script, leftovers,
                     mesh0_with_peer, olsrd, olsrd2, one_neighbour_answers, remove_cache_files,
                     run, sh, site_config, wait_for)

WIDTH = 79
OLSRD, OLSRD2 = one_neighbour_answers(olsrd2_version="v2-test")


COMMAND = "/usr/bin/olsr-kavond"


def cron_line(name):
    return f"* * * * * /usr/bin/olsr-kavond --update {name}"


class Finding:
    def __init__(self, word, text):
        self.word, self.text, self.hint = word, text, None

    def __repr__(self):
        return f"{self.word} {self.text!r} hint={self.hint!r}"


def parse(test, stdout):
    """The findings of the check's output, each line checked for the
    format: a finding begins with ok, warn or FAIL; the lines under it are
    indented (its wrapped text and details, then "hint:" and the hint's
    lines); no line is wider than a terminal."""
    findings = []
    in_hint = False
    for line in stdout.splitlines():
        test.assertLessEqual(len(line), WIDTH, line)
        if not line.startswith(" "):
            word, _, text = line.partition(" ")
            test.assertIn(word, ("ok", "warn", "FAIL"), line)
            findings.append(Finding(word, text.strip()))
            in_hint = False
            continue
        test.assertTrue(findings, f"indented line first: {line!r}")
        body = line.strip()
        if body.startswith("hint: "):
            test.assertIsNone(findings[-1].hint, f"second hint: {line!r}")
            findings[-1].hint = body[len("hint: "):]
            in_hint = True
        elif in_hint:
            findings[-1].hint += " " + body
        else:
            findings[-1].text += " " + body
    for f in findings:
        if f.word == "ok":
            test.assertIsNone(f.hint, f)
        else:
            test.assertTrue(f.hint, f"{f.word} without a hint: {f}")
    return findings


class Check(SandboxTest):
    def setUp(self):
        super().setUp()
        remove_cache_files()

    def check(self, limit=30):
        """Runs the check; returns (findings, exit status, seconds taken)."""
        start = time.monotonic()
        proc = run([KAVOND, "--check"], timeout=120, check=False)
        took = time.monotonic() - start
        check_no_crash(proc)
        findings = parse(self, proc.stdout)
        self.assertEqual(proc.returncode, 1 if any(f.word == "FAIL" for f in findings) else 0,
                         proc.stdout)
        self.assertLess(took, limit, proc.stdout)
        return findings, proc.returncode, took, proc.stdout

    def finding(self, findings, word, *facts):
        """The one finding with leading `word` whose text names every fact."""
        found = [f for f in findings if f.word == word and all(x in f.text for x in facts)]
        self.assertEqual(len(found), 1, f"{word} {facts} in {findings}")
        return found[0]

    def test_all_well(self):
        site_config(v1=True, v2=True)
        init_exit("olsrd", 0)
        init_exit("olsrd2", 0)
        mesh0_with_peer(self)
        for name in DOCUMENTS:
            with open(cache_file(name), "w") as f:
                f.write('{"fresh":true}')
        with LocalPort(), Zistad(), olsrd(OLSRD), olsrd2(OLSRD2):
            findings, status, _, _ = self.check()
        self.assertEqual(status, 0)
        self.assertEqual([f for f in findings if f.word != "ok"], [])
        self.finding(findings, "ok", "site configuration", "olsrd enabled", "olsrd2 enabled")
        self.finding(findings, "ok", "olsrd:", "running", "0.9.8", " ms")
        self.finding(findings, "ok", "olsrd2:", "running", "v2-test", " ms")
        self.finding(findings, "ok", "olsrd2 neighbours: 1")
        self.finding(findings, "ok", "olsrd neighbours", "1 link", "ARP table 1", "none 0")
        self.finding(findings, "ok", "neighbours document", "1")
        self.finding(findings, "ok", "interface mesh0", "wired", MESH0_MAC)
        self.finding(findings, "ok", "zistad", "clients: 2")
        self.finding(findings, "ok", "local-port", "rx", "tx")
        for name in DOCUMENTS:
            self.finding(findings, "ok", f"cache {name}", "parses")

    def test_olsrd_port_closed_or_silent(self):
        """Refused at once: FAIL with the fetch error. Accepting and never
        answering, or an init script that never ends: FAIL at the stage's
        deadline, and nothing of the stage is left running."""
        site_config(v1=True)
        init_exit("olsrd", 0)
        findings, status, took, _ = self.check(limit=5)
        self.assertEqual(status, 1)
        self.finding(findings, "FAIL", "olsrd:", "Connection failed", "127.0.0.1:9090")
        self.finding(findings, "FAIL", "neighbours document")

        with olsrd({"*": {"$hang": 60}}):
            findings, status, took, _ = self.check(limit=9)
        self.assertEqual(status, 1)
        self.finding(findings, "FAIL", "olsrd:", "no result within 5 s", '"version"')

        init_script("olsrd", "exec sleep 60")
        findings, status, took, _ = self.check(limit=9)
        self.assertEqual(status, 1)
        self.finding(findings, "FAIL", "olsrd:", "no result within 5 s",
                     "/etc/init.d/olsrd running")
        self.assertEqual(leftovers(), [], "the stage's processes outlive the check")

    def test_check_killed_leaves_no_stage(self):
        """A check killed with SIGKILL cannot clean up after itself: its
        stage, waiting on a daemon that never answers, ends with it."""
        site_config(v1=True)
        init_exit("olsrd", 0)
        log = "/tmp/olsrd-requests.log"
        with olsrd({"*": {"$hang": 60}}, log=log):
            proc = subprocess.Popen([KAVOND, "--check"], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            try:
                # The site stage comes first, then the olsrd stage, which
                # runs the init script and then waits on the daemon: once
                # the daemon has the request, that stage is all that runs
                # beside the check. Counting processes before then would
                # also count the stages' short-lived children. The request
                # comes within seconds (more on a loaded machine).
                deadline = time.monotonic() + 30
                while not (os.path.exists(log) and os.path.getsize(log) > 0) \
                        and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertGreater(os.path.getsize(log) if os.path.exists(log) else 0, 0,
                                   "the olsrd stage never asked the daemon")
                self.assertEqual(len(leftovers()), 2, "the check and its stage")
            finally:
                proc.kill()
                proc.wait(timeout=10)
            self.assertTrue(wait_for(lambda: not leftovers()),
                            f"the stage outlives its killed check: {leftovers()}")

    def test_olsrd2_not_json_and_enable_as_text(self):
        site_config(v2="false")
        init_exit("olsrd2", 0)
        with olsrd2({"*": {"$raw": "hello"}}):
            findings, status, _, _ = self.check()
        self.assertEqual(status, 1)
        site = self.finding(findings, "warn", "site configuration", "olsrd2 enabled",
                            '"false"')
        self.assertIn("without quotes", site.hint)
        self.finding(findings, "FAIL", "olsrd2:", "Response not json")

    def test_dead_olsrd_neighbour(self):
        """Of three links: one in the ARP table, one found by a probe, one
        dead. The dead one is named; its incomplete kernel row (all-zero
        MAC) does not count as found in the table."""
        site_config(v1=True)
        init_exit("olsrd", 0)
        mesh0_with_peer(self)
        sh("ip -n peer addr add 192.0.2.3/24 dev peer0")
        sh("ip neigh replace 192.0.2.9 dev mesh0 nud incomplete")
        self.assertIn("00:00:00:00:00:00", sh("grep '^192.0.2.9 ' /proc/net/arp || true"))
        links = {"links": [
            {"ifName": "mesh0", "remoteIP": ip, "linkQuality": 1.0, "neighborLinkQuality": 1.0}
            for ip in ("192.0.2.2", "192.0.2.3", "192.0.2.9")]}
        with olsrd(dict(OLSRD, links=links)):
            findings, _, _, out = self.check()
        found = self.finding(findings, "warn", "olsrd neighbours", "3 links", "ARP table 1",
                             "probe 1", "none 1", "ARP request", "mesh0 192.0.2.9")
        self.assertNotIn("192.0.2.3", found.text)

    def test_zistad_absent_and_no_cache_files(self):
        site_config(v1=False, v2=False)
        findings, status, _, out = self.check()
        self.assertEqual(status, 0)
        self.finding(findings, "warn", "site configuration", "olsrd not enabled")
        zistad = self.finding(findings, "warn", "zistad", "/var/run/zistad.sock")
        self.assertIn("running", zistad.hint)
        self.finding(findings, "warn", "local-port")
        lines = [line.strip() for line in out.splitlines()]
        for name in DOCUMENTS:
            cache = self.finding(findings, "warn", f"cache {name}", "missing")
            self.assertIn(f"olsr-kavond --update {name}", cache.hint)
            self.assertIn(cron_line(name), lines, "the cron line, whole on a line of its own")

    def test_stale_and_unreadable_cache_files(self):
        site_config(v1=False, v2=False)
        with open(cache_file("nodeinfo"), "w") as f:
            f.write('{"old":true}')
        sh(f"touch -d '-11 min' {cache_file('nodeinfo')}")
        with open(cache_file("statistics"), "w") as f:
            f.write('{"fresh":true}')
        with open(cache_file("neighbours"), "w") as f:
            f.write("{cut sho")
        findings, status, _, _ = self.check()
        self.assertEqual(status, 1)
        stale = self.finding(findings, "FAIL", "cache nodeinfo", "stale", "11 min")
        self.assertIn(cron_line("nodeinfo"), stale.hint)
        self.finding(findings, "ok", "cache statistics", "parses")
        self.finding(findings, "FAIL", "cache neighbours", "does not parse")

    def test_refresh_under_way(self):
        """A refresh holding its lock: its process, and how long it has
        held the lock (written when taken), warned of beyond the bound."""
        site_config(v1=True)
        init_exit("olsrd", 0)
        shutil.copy(KAVOND, COMMAND)
        lock = "/var/run/olsrd-kavond-nodeinfo.lock"
        log = "/run/olsrd-requests.log"
        with olsrd({"*": {"$hang": 120}}, log=log):
            sh(f"touch -d '-1 hour' {lock}")
            refresh = subprocess.Popen([COMMAND, "--update", "--timeout", "60", "nodeinfo"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(refresh.wait)
            self.addCleanup(refresh.kill)
            self.assertTrue(wait_for(lambda: os.path.exists(log) and os.path.getsize(log)),
                            "the refresh asked nothing")
            with open(lock) as f:
                self.assertEqual(f.read(), f"{refresh.pid}\n")
            site_config(v1=False)  # the check asks no daemon
            for age, word, held in (("-100 sec", "ok", "1 min"), ("-3 min", "warn", "3 min")):
                with self.subTest(age=age):
                    sh(f"touch -d '{age}' {lock}")
                    findings, _, _, _ = self.check()
                    found = self.finding(findings, word, "refresh nodeinfo", f"for {held}",
                                         f"process {refresh.pid}")
                    if word == "warn":
                        self.assertIn(f"kill {refresh.pid}", found.hint)
            # As the hint says: the refresh's command goes with it.
            refresh.terminate()
            refresh.wait(timeout=30)
            self.assertTrue(wait_for(lambda: not leftovers()),
                            f"the refresh's command outlives it: {leftovers()}")
        self.assertNotIn("refresh", self.check()[3], "none under way once it ended")


if __name__ == "__main__":
    unittest.main()
