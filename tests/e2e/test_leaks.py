"""dravel in every failure scenario of its sources, under a leak checker:
valgrind (--leak-check=full, definite leaks and invalid reads or writes
are errors) in the normal build; in the sanitizer build dravel carries
AddressSanitizer and LeakSanitizer itself, so it runs as it is and its
exit status and stderr are checked for a report instead. A cross build
runs dravel under the emulator, where valgrind cannot follow it: there
the scenarios run without a leak checker, for their results.

Each scenario runs dravel once and also checks that the scenario did what
it names (the daemons' lines failed, the neighbour was left out, ...), so
that a scenario cannot pass by missing its fault."""
import json
import os
import re
import time
import unittest

from harness import (DRAVEL, DRIVER_LABELS as LABELS, EMULATOR, LocalPort, SandboxTest, VethPeer,
                     Zistad, arp_permanent, check_no_crash, driver_json, init_exit,
                     olsrd, olsrd2, run, site_config, split_driver_output,
                     standin_answers, strict_json)

SANITIZED = bool(os.environ.get("TARVIK_SANITIZE"))
# valgrind cannot run a program under an emulator: a cross build runs the
# scenarios without a leak checker, for their results (and crashes).
LEAK_CHECKER = "valgrind" if not SANITIZED and not EMULATOR else None

# Every valgrind message starts with "==PID== "; with -q and only definite
# leaks shown, any such line is an error.
VALGRIND_LINE = re.compile(r"^==\d+== ", re.M)

MESH0_MAC = "02:00:00:00:01:00"
ARP_MAC = "02:00:00:00:00:09"


def checked_dravel(test, timeout=300):
    """Runs dravel under the leak checker of this build; fails `test` on
    any leak or memory error report, or a status other than 0. Returns the
    driver's lines (each checked to be strict JSON or a "failed" line) and
    its other messages, as split_driver_output does."""
    if LEAK_CHECKER is None:
        cmd = [DRAVEL]
    else:
        cmd = ["valgrind", "--leak-check=full", "--show-leak-kinds=definite",
               "--errors-for-leak-kinds=definite", "--error-exitcode=99",
               "--child-silent-after-fork=yes", "-q", DRAVEL]
    proc = run(cmd, timeout=timeout, check=False)
    # A sanitizer report, or an abort after one.
    check_no_crash(proc)
    if LEAK_CHECKER == "valgrind":
        test.assertIsNone(VALGRIND_LINE.search(proc.stderr), proc.stderr)
    test.assertEqual(proc.returncode, 0, proc.stderr)
    lines, messages = split_driver_output(proc.stdout)
    test.assertEqual(list(lines), LABELS, proc.stdout)
    for label in LABELS:
        if not lines[label].startswith("failed"):
            strict_json(lines[label])
    return lines, messages


def both_running():
    site_config(v1=True, v2=True)
    init_exit("olsrd", 0)
    init_exit("olsrd2", 0)


def confuse_leaves(value):
    """`value` with every leaf of another JSON type: texts become numbers,
    numbers texts, booleans numbers, nulls objects."""
    if isinstance(value, dict):
        return {k: confuse_leaves(v) for k, v in value.items()}
    if isinstance(value, list):
        return [confuse_leaves(v) for v in value]
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, (int, float)):
        return str(value)
    if isinstance(value, str):
        return len(value)
    return {}


def confuse_containers(value):
    """`value` with every object an array of its values and every array an
    object keyed by index, at every depth."""
    if isinstance(value, dict):
        return [confuse_containers(v) for v in value.values()]
    if isinstance(value, list):
        return {str(i): confuse_containers(v) for i, v in enumerate(value)}
    return value


def each_answer(answers, change):
    """Every answer of a stand-in's answers file changed by `change`, the
    answer object itself kept (its members changed)."""
    return {cmd: {k: change(v) for k, v in answer.items()} for cmd, answer in answers.items()}


class Node:
    """A node whose olsrd sees a neighbour on "mesh0" (10.31.0.1/16, MAC
    MESH0_MAC): the peer's kernel answers ARP for 10.31.0.2, and the ARP
    table holds 10.31.0.9. With `daemons`, both stand-ins run with their
    realistic answers (the olsrd link 10.31.0.2 is then found by a probe).
    Use it in `with`."""

    def __init__(self, daemons=True, v1=None, v2=None):
        self.parts = [VethPeer(local="mesh0", local_mac=MESH0_MAC, local_ip="10.31.0.1/16",
                               peer_ip="10.31.0.2/16")]
        try:
            arp_permanent("10.31.0.9", ARP_MAC, "mesh0")
            if daemons:
                self.parts.append(olsrd(v1 if v1 is not None else standin_answers("olsrd")))
                self.parts.append(olsrd2(v2 if v2 is not None else standin_answers("olsrd2")))
        except Exception:
            self.__exit__(None, None, None)
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for part in reversed(self.parts):
            part.__exit__(*exc)


def daemon_lines_failed(test, lines):
    test.assertTrue(lines["olsr1_nodeinfo"].startswith("failed "), lines["olsr1_nodeinfo"])
    test.assertTrue(lines["olsr2_nodeinfo"].startswith("failed "), lines["olsr2_nodeinfo"])


class Leaks(SandboxTest):
    # ---- the routing daemons ------------------------------------------

    def test_daemons_down(self):
        both_running()
        lines, _ = checked_dravel(self)
        self.assertEqual(lines["olsr1_nodeinfo"], "failed 1")
        self.assertEqual(lines["olsr2_nodeinfo"], "failed 1")
        self.assertEqual(lines["provider_neighbours"], "failed")
        self.assertEqual(json.loads(lines["provider_nodeinfo"])["software"],
                         {"olsr1": {"running": True}, "olsr2": {"running": True}})
        self.assertEqual(lines["provider_statistics"], '{"clients":null,"traffic":null}')
        self.assertEqual(lines["zistad_clients"], "failed")

    def test_daemons_hung(self):
        # The client's time-out is 300 s; these stand-ins read each request,
        # hold the connection for a second without a byte of answer, then
        # close it, so every query ends on the closed connection.
        both_running()
        with olsrd({"*": {"$hang": 1}}), olsrd2({"*": {"$hang": 1}}):
            start = time.monotonic()
            lines, _ = checked_dravel(self)
            took = time.monotonic() - start
        daemon_lines_failed(self, lines)
        self.assertEqual(lines["provider_neighbours"], "failed")
        # olsrd2's links, four olsrd and three olsrd2 nodeinfo queries and
        # the two raw queries: each held for its second.
        self.assertGreaterEqual(took, 10)

    def test_truncated_bodies(self):
        both_running()
        cut = '{"version":{"version":"0.9.8"},"plugins":[],"links":[],"interfaces":[]}'
        # olsrd: a Content-Length of 100 and 20 bytes; olsrd2: no length,
        # closed in the middle of the text.
        with olsrd({"*": {"$raw": cut[:20], "$length": "100"}}), \
                olsrd2({"*": {"$raw": cut[:30], "$no_length": True}}):
            lines, _ = checked_dravel(self)
        self.assertTrue(lines["olsr1_nodeinfo"].startswith("failed "), lines["olsr1_nodeinfo"])
        self.assertEqual(lines["olsr2_nodeinfo"], "null")
        self.assertEqual(lines["provider_neighbours"], "failed")

    def test_lying_content_lengths(self):
        both_running()
        body = json.dumps(standin_answers("olsrd")["version"])
        v1 = {"version": {"$raw": body, "$length": "12"},            # shorter than the body
              "plugins": {"$raw": body, "$length": "-1"},
              "interfaces": {"$raw": body, "$length": "abc"},
              "links": {"$raw": body, "$length": "99999999999999999999"}}
        v2 = {"nhdpinfo jsonraw link": {"$raw": body, "$length": str(len(body) + 50)},
              "systeminfo jsonraw version": {"$raw": body, "$length": "0"},
              "*": {"$raw": body, "$length": " 2147483648"}}
        with olsrd(v1), olsrd2(v2):
            lines, _ = checked_dravel(self)
        # None of the lies gives the answer.
        for label in ("olsr1_nodeinfo", "olsr2_nodeinfo"):
            self.assertNotEqual(driver_json(lines, label), json.loads(body), label)
        self.assertEqual(lines["provider_neighbours"], "failed")

    def test_redirect_loop(self):
        both_running()
        with olsrd({"*": {"$status": 301, "$headers": [["Location", "/fault/redirect-loop"]]}}), \
                olsrd2({"*": {"$status": 302,
                              "$headers": [["Location", "/telnet/fault/redirect-loop"]]}}):
            lines, _ = checked_dravel(self)
        daemon_lines_failed(self, lines)
        self.assertEqual(lines["olsr1_nodeinfo"], lines["olsr2_nodeinfo"])

    def test_answers_that_are_not_json(self):
        both_running()
        v1 = {"version": {"$raw": "olsrd 0.9.8"}, "plugins": {"$raw": ""},
              "interfaces": {"$raw": "{not json"}, "links": {"$raw": "\u00ff\u0001{"}}
        v2 = {"nhdpinfo jsonraw link": {"$raw": '{"link": ['},
              "*": {"$raw": "[1,2,3]"}}
        with olsrd(v1), olsrd2(v2):
            lines, _ = checked_dravel(self)
        self.assertEqual(lines["olsr1_nodeinfo"], "failed 2048")
        self.assertEqual(lines["olsr2_nodeinfo"], "null")
        self.assertEqual(lines["provider_neighbours"], "failed")

    def test_answers_with_every_value_of_the_wrong_type(self):
        both_running()
        v1 = each_answer(standin_answers("olsrd"), confuse_leaves)
        v2 = each_answer(standin_answers("olsrd2"), confuse_leaves)
        with Node(v1=v1, v2=v2), Zistad(answer={"clients": "two", "clientlist": [1, None]}):
            lines, _ = checked_dravel(self)
        # No link has an interface or address text: no neighbours.
        self.assertEqual(json.loads(lines["provider_neighbours"]), {"batadv": {}})
        self.assertEqual(json.loads(lines["provider_statistics"])["clients"],
                         {"total": "two", "list": [1, None]})
        self.assertEqual(json.loads(lines["olsr1_nodeinfo"]), v1["version"])

    def test_answers_with_every_container_of_the_wrong_type(self):
        both_running()
        v1 = each_answer(standin_answers("olsrd"), confuse_containers)
        v2 = each_answer(standin_answers("olsrd2"), confuse_containers)
        with Node(v1=v1, v2=v2), Zistad(answer={"clients": [2], "clientlist": 5}):
            lines, _ = checked_dravel(self)
        # A "link" or "links" member that is no array fails its table.
        self.assertEqual(lines["provider_neighbours"], "failed")
        software = json.loads(lines["provider_nodeinfo"])["software"]
        self.assertEqual(software["olsr1"]["addresses"], [])
        self.assertEqual(software["olsr2"]["addresses"], [])

    # ---- zistad, "local-port", ARP ------------------------------------

    def test_zistad_down(self):
        both_running()
        with Node(), LocalPort():
            lines, _ = checked_dravel(self)
        statistics = json.loads(lines["provider_statistics"])
        self.assertIsNone(statistics["clients"])
        self.assertEqual(list(statistics["traffic"]), ["rx", "tx"])
        self.assertEqual(lines["zistad_clients"], "failed")
        # The rest of the node answered: the olsrd link was found by a
        # probe, the olsrd2 link by its own MAC.
        neighbours = json.loads(lines["provider_neighbours"])["batadv"][MESH0_MAC]["neighbours"]
        self.assertEqual(len(neighbours), 2, neighbours)

    def test_zistad_answers_garbage(self):
        both_running()
        for mode in ("notjson", "close"):
            with self.subTest(mode=mode), Node(), Zistad(mode=mode):
                lines, _ = checked_dravel(self)
                self.assertIsNone(json.loads(lines["provider_statistics"])["clients"])
                self.assertEqual(lines["zistad_clients"], "failed")

    def test_local_port_absent(self):
        both_running()
        with Node(), Zistad():
            lines, _ = checked_dravel(self)
        self.assertEqual(lines["get_traffic"], "failed")
        statistics = json.loads(lines["provider_statistics"])
        self.assertIsNone(statistics["traffic"])
        self.assertEqual(statistics["clients"]["total"], 2)

    def test_arp_probes_failing(self):
        site_config(v1=True, v2=False)
        init_exit("olsrd", 0)
        links = [{"ifName": ifname, "remoteIP": ip, "linkQuality": 1.0,
                  "neighborLinkQuality": 1.0}
                 for ifname, ip in [
                     ("mesh0", "10.31.0.9"),          # in the ARP table
                     ("mesh0", "10.31.0.77"),         # probed, nobody answers
                     ("ghost0", "10.31.0.5"),         # no such interface
                     ("mesh1", "10.31.0.6"),          # interface without IPv4 address
                     ("mesh0", "0.0.0.0"),            # refused address
                     ("mesh0", "no-address"),         # no address at all
                     ("interface-name-too-long", "10.31.0.7")]]
        with Node(daemons=False), \
                VethPeer(local="mesh1", netns="p1", local_ip=None, peer_ip=None), \
                olsrd({"links": {"links": links}}):
            lines, messages = checked_dravel(self)
        neighbours = json.loads(lines["provider_neighbours"])["batadv"][MESH0_MAC]["neighbours"]
        self.assertEqual(list(neighbours), [ARP_MAC])
        # Each failing probe took its own way out.
        for message in ["get_if_info failed, interface ghost0 not found or no IP set?",
                        "get_if_info failed, interface mesh1 not found or no IP set?",
                        "Invalid source IP", "Too long interface name, MAX=15"]:
            self.assertIn(message, messages)


if __name__ == "__main__":
    unittest.main()
