"""What a local user without privileges (nobody, as setpriv makes it) can
do to the documents that the node tells the mesh: the refresh
(olsr-kavond --update, run as root from cron) against a lock held on the
cache file, files planted at the cache path and a full /tmp; the
reports of a failed refresh; and olsr-kavond --check started with
closed descriptors. The reader's side (make_safe) and the socket
requests are tested in tests/unit."""
import glob
import os
import shlex
import shutil
import stat
import subprocess
import time
import unittest

from harness import KAVOND, SandboxTest, init_exit, run, site_config, write

COMMAND = "/usr/bin/olsr-kavond"
MARKER = "/run/olsr-kavond-ran"
CACHE = "/tmp/olsrd-kavond-nodeinfo.json"
ASIDE = "/tmp/.olsrd-kavond-nodeinfo.json.*"
LOCK = "/var/run/olsrd-kavond-nodeinfo.lock"
AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
FRESH = '{"fresh":"nodeinfo"}'
NOT_STORED = "olsr-kavond: no nodeinfo document was stored\n"


def as_nobody(command, check=True):
    """Runs the shell command as nobody."""
    return run(AS_NOBODY + ["sh", "-c", command], check=check)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


class LocalUser(SandboxTest):
    def setUp(self):
        super().setUp()
        remove(CACHE)
        remove(MARKER)
        # The refresh command that olsr-kavond --update runs: a stand-in
        # that notes its run and prints a small document.
        self.command('echo \'{"fresh":"\'"$1"\'"}\'')

    def command(self, body):
        write(COMMAND, f'#!/bin/sh\necho "$1" >> {MARKER}\n{body}\n', 0o755)

    def update(self):
        return run([KAVOND, "--update", "nodeinfo"], check=False, timeout=30)

    def stored(self):
        st = os.lstat(CACHE)
        self.assertTrue(stat.S_ISREG(st.st_mode))
        self.assertEqual(st.st_uid, 0)
        with open(CACHE) as f:
            return f.read()

    def test_a_lock_held_on_the_cache_file_holds_off_no_refresh(self):
        write(CACHE, '{"old":1}')
        # Reading the cache file is enough to lock it.
        holder = subprocess.Popen(AS_NOBODY + ["flock", "-s", CACHE, "sleep", "60"])
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        deadline = time.monotonic() + 5
        while run(["flock", "-n", "-x", CACHE, "true"], check=False).returncode == 0:
            self.assertLess(time.monotonic(), deadline, "nobody's lock was not taken")
            time.sleep(0.02)

        proc = self.update()
        self.assertEqual((proc.returncode, proc.stderr), (0, ""))
        self.assertEqual(self.stored(), FRESH)

        # The refresh lock itself is out of nobody's reach.
        lock = as_nobody(f"flock -n {LOCK} sleep 5", check=False)
        self.assertNotEqual(lock.returncode, 0)
        self.assertIn("Permission denied", lock.stderr)
        st = os.lstat(LOCK)
        self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid), (0o600, 0))

    def test_links_fifos_and_files_planted_at_the_cache_path_are_replaced(self):
        write("/run/target.json", '{"target":1}')
        for what, plant in [("symbolic link", f"ln -s /run/target.json {CACHE}"),
                            ("fifo", f"mkfifo -m 666 {CACHE}"),
                            ("document", f"echo '{{\"spoofed\":1}}' > {CACHE}")]:
            with self.subTest(what):
                remove(CACHE)
                as_nobody(plant)
                proc = self.update()
                self.assertEqual((proc.returncode, proc.stderr), (0, ""))
                self.assertEqual(self.stored(), FRESH)
        with open("/run/target.json") as f:
            self.assertEqual(f.read(), '{"target":1}')

    def test_check_names_a_document_that_is_not_served(self):
        site_config(v1=False, v2=False)
        as_nobody(f"echo '{{\"spoofed\":1}}' > {CACHE}")
        proc = run([KAVOND, "--check"], check=False)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(f"FAIL cache nodeinfo: {CACHE} is not served: owned by\n     another user\n",
                      proc.stdout)

    def test_another_users_directory_at_the_cache_path_is_moved_aside(self):
        # Also one made while the command runs. (Root's own stays: tests/unit.)
        for during in (False, True):
            with self.subTest(during=during):
                self.setUp()
                plant = AS_NOBODY + ["sh", "-c", f"mkdir {CACHE} && echo x > {CACHE}/f"]
                self.command(f"{shlex.join(plant)}\necho '{FRESH}'") if during else run(plant)
                before = set(glob.glob(ASIDE))
                proc = self.update()
                moved = sorted(set(glob.glob(ASIDE)) - before)
                self.assertEqual((proc.returncode, proc.stderr, len(moved)), (
                    0, f"Moved another user's directory {CACHE} aside to {''.join(moved)}\n", 1))
                self.assertEqual((self.stored(), os.listdir(moved[0]), os.lstat(moved[0]).st_uid),
                                 (FRESH, ["f"], 65534))

    def test_a_full_tmp_is_a_failed_refresh(self):
        # A small /tmp of the test's own, filled up by nobody.
        run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=1777", "small-tmp", "/tmp"])
        self.addCleanup(run, ["umount", "/tmp"])
        write(CACHE, '{"old":1}')
        as_nobody("dd if=/dev/zero of=/tmp/fill bs=4k 2>/dev/null", check=False)
        proc = self.update()
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(proc.stderr.startswith(f"Failed to write JSON to {CACHE}: "),
                        proc.stderr)
        self.assertIn("No space left on device", proc.stderr)
        self.assertTrue(proc.stderr.endswith(NOT_STORED), proc.stderr)
        self.assertEqual(self.stored(), '{"old":1}')
        self.assertEqual(sorted(os.listdir("/tmp")), ["fill", os.path.basename(CACHE)])

    def test_a_failed_command_is_reported_with_its_status(self):
        write(CACHE, '{"old":1}')
        self.command("echo '{\"half\":1}'; exit 1")
        proc = self.update()
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stderr, "olsr-kavond nodeinfo: exited with status 1\n" + NOT_STORED)
        self.assertEqual(self.stored(), '{"old":1}')

    def test_check_with_closed_descriptors_still_checks(self):
        # olsrd enabled and running, but nothing answers on its port.
        site_config(v1=True)
        init_exit("olsrd", 0)
        started = time.monotonic()
        # Started as root, as cron and init scripts start it.
        proc = run(["sh", "-c", f"exec {KAVOND} --check 0<&- 1>&-"], check=False)
        self.assertLess(time.monotonic() - started, 30)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertEqual([line for line in proc.stderr.splitlines() if line.startswith("@")], [])


if __name__ == "__main__":
    unittest.main()
