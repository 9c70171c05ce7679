"""dravel's "provider_nodeinfo" line: the nodeinfo document for each state of
the daemons, against the stand-in daemons and interfaces made in the
sandbox. Documents are compared as printed text, so member order counts."""
import json
import os
import subprocess
import unittest

from harness import (DRAVEL, SandboxTest, init_exit, olsrd, olsrd2, run_dravel, sh,
                     site_config, standin_answers, write)

EMPTY = '{"network":{"addresses":[],"interfaces":{},"mesh":{}},"software":{}}'
WIRELESS_LIST = "/etc/plovan/wireless-devices"


def compact(value):
    return json.dumps(value, separators=(",", ":"))


def wifi_env():
    """Environment that loads the test build of the utility library, which
    files the devices listed in WIRELESS_LIST as wireless."""
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = os.environ["PLOVANUTIL_WIFI_DIR"] + ":" + env.get("LD_LIBRARY_PATH", "")
    return env


# The parts of the stand-in answers that the full document is made from.
V1_MESH0 = {"configured": True, "up": True, "ipAddress": "10.31.0.1", "mode": "mesh"}
V1_VPN = {"configured": True, "up": True, "ipAddress": "10.32.0.1", "mode": "ether"}
V2_MESH0 = {"mac": "02:00:00:00:00:01", "v4": "10.31.0.1", "v6": None}
V2_LO = {"mac": "00:00:00:00:00:00", "v4": "127.0.0.1", "v6": None}


class NodeinfoTest(SandboxTest):
    def setUp(self):
        super().setUp()
        if os.path.exists(WIRELESS_LIST):
            os.remove(WIRELESS_LIST)

    def link(self, command, name):
        """Runs `ip link add NAME ...` (or `ip tuntap ...`) and deletes the
        device when the test ends."""
        sh(command)
        self.addCleanup(sh, f"ip link del {name}", False)

    def nodeinfo_text(self, env=None):
        lines, proc = run_dravel(env=env)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return lines["provider_nodeinfo"]

    def running(self, v1=True, v2=True):
        site_config(v1=v1, v2=v2)
        if v1:
            init_exit("olsrd", 0)
        if v2:
            init_exit("olsrd2", 0)


class DaemonStates(NodeinfoTest):
    def test_neither_daemon_enabled_gives_the_empty_skeleton(self):
        for v1, v2 in ((None, None), (False, False), (0, "")):
            with self.subTest(v1=v1, v2=v2):
                site_config(v1=v1, v2=v2)
                init_exit("olsrd", 0)
                self.assertEqual(self.nodeinfo_text(), EMPTY)

    def test_without_site_configuration_the_provider_fails(self):
        for raw in (None, '{"mesh":{}}'):
            with self.subTest(raw=raw):
                if raw is not None:
                    site_config(raw=raw)
                self.assertEqual(self.nodeinfo_text(), "failed")

    def test_olsrd_enabled_but_not_running_is_not_asked(self):
        site_config(v1=True)
        init_exit("olsrd", 3)
        log = "/tmp/olsrd-requests.log"
        with olsrd(standin_answers("olsrd"), log=log):
            text = self.nodeinfo_text()
        self.assertEqual(text, '{"network":{"addresses":[],"interfaces":{},"mesh":{}},'
                               '"software":{"olsr1":{"running":false}}}')
        with open(log) as f:
            targets = [json.loads(line)["target"] for line in f]
        self.assertEqual(targets, ["/version"])  # the driver's own query only

    def test_string_false_enables_and_a_stopped_daemon_leaves_only_running(self):
        site_config(v2="false")
        init_exit("olsrd2", 3)
        self.assertEqual(json.loads(self.nodeinfo_text())["software"],
                         {"olsr2": {"running": False}})


class FullDocument(NodeinfoTest):
    def test_both_daemons_running_with_full_answers(self):
        # mesh0 is known to both daemons, mesh-vpn to olsrd only, lo to
        # olsrd2 only.
        self.link("ip link add mesh0 address 02:aa:00:00:00:01 type veth peer name mesh0p",
                  "mesh0")
        self.link("ip tuntap add dev mesh-vpn mode tun", "mesh-vpn")
        self.running()
        v1, v2 = standin_answers("olsrd"), standin_answers("olsrd2")
        with olsrd(v1), olsrd2(v2):
            text = self.nodeinfo_text()
        expected = {
            "network": {
                "addresses": ["10.31.0.1", "10.32.0.1", "10.31.0.1"],
                "interfaces": {
                    "mesh0": {"olsr1": V1_MESH0, "olsr2": V2_MESH0},
                    "mesh-vpn": {"olsr1": V1_VPN},
                    "lo": {"olsr2": V2_LO},
                },
                "mesh": {
                    "mesh0": {"interfaces": {"wired": ["02:aa:00:00:00:01"]}},
                    # a tun device has no hardware address
                    "mesh-vpn": {"interfaces": {"tunnel": [None]}},
                },
            },
            "software": {
                "olsr1": {
                    "running": True,
                    "version": "0.9.8",
                    "plugins": v1["plugins"]["plugins"],
                    "addresses": ["10.31.0.1", "10.32.0.1"],
                    "interfaces": {"mesh0": V1_MESH0, "mesh-vpn": V1_VPN},
                },
                "olsr2": {
                    "running": True,
                    "version": "OLSRd2 v0.15.1",
                    "addresses": ["10.31.0.1"],
                    "interfaces": {"mesh0": V2_MESH0, "lo": V2_LO},
                },
            },
        }
        self.assertEqual(text, compact(expected))

    def test_daemons_answering_only_some_commands(self):
        self.running()
        v1, v2 = standin_answers("olsrd"), standin_answers("olsrd2")
        only_interfaces = {"interfaces": v1["interfaces"]}
        only_originator = {"olsrv2info jsonraw originator": v2["olsrv2info jsonraw originator"]}
        with olsrd(only_interfaces), olsrd2(only_originator):
            doc = json.loads(self.nodeinfo_text())
        self.assertEqual(compact(doc["software"]), compact({
            "olsr1": {"running": True, "addresses": ["10.31.0.1", "10.32.0.1"],
                      "interfaces": {"mesh0": V1_MESH0, "mesh-vpn": V1_VPN}},
            "olsr2": {"running": True, "addresses": ["10.31.0.1"]},
        }))
        self.assertEqual(doc["network"]["addresses"], ["10.31.0.1", "10.32.0.1", "10.31.0.1"])
        # Interfaces that are not in /sys: their own (missing) address only.
        self.assertEqual(doc["network"]["mesh"], {
            "mesh0": {"interfaces": {"other": [None]}},
            "mesh-vpn": {"interfaces": {"other": [None]}},
        })

    def test_failed_interfaces_query_leaves_out_addresses_and_table(self):
        self.running(v2=False)
        answers = standin_answers("olsrd")
        answers["interfaces"] = {"$status": 500}
        with olsrd(answers):
            doc = json.loads(self.nodeinfo_text())
        self.assertEqual(list(doc["software"]["olsr1"]), ["running", "version", "plugins"])
        self.assertEqual(doc["network"], {"addresses": [], "interfaces": {}, "mesh": {}})

    def test_olsrd_element_without_ip_address_has_a_null_entry_and_no_address(self):
        self.running(v2=False)
        answers = {"interfaces": {"interfaces": [
            {"name": "mesh0", "configured": True},
            {"name": "mesh1", "configured": False,
             "olsrInterface": {"up": False, "ipAddress": "10.33.0.1", "mode": "mesh"}}]}}
        with olsrd(answers):
            doc = json.loads(self.nodeinfo_text())
        self.assertEqual(compact(doc["software"]["olsr1"]), compact({
            "running": True, "addresses": ["10.33.0.1"],
            "interfaces": {
                "mesh0": {"configured": True, "up": None, "ipAddress": None, "mode": None},
                "mesh1": {"configured": False, "up": False, "ipAddress": "10.33.0.1",
                          "mode": "mesh"}}}))
        self.assertEqual(doc["network"]["addresses"], ["10.33.0.1"])

    def test_originators_that_all_begin_with_dash_give_no_address(self):
        self.running(v1=False)
        with olsrd2({"olsrv2info jsonraw originator":
                     {"originator": [{"originator": "-"}, {"originator": "-10.0.0.1"}]}}):
            doc = json.loads(self.nodeinfo_text())
        self.assertEqual(doc["software"]["olsr2"], {"running": True, "addresses": []})
        self.assertEqual(doc["network"]["addresses"], [])

    def test_dash_bind_addresses_are_null_and_texts_are_kept(self):
        self.running(v1=False)
        with olsrd2({"nhdpinfo jsonraw interface": {"interface": [
                {"if": "mesh0", "if_mac": "02:00:00:00:00:01",
                 "if_bindto_v4": "-", "if_bindto_v6": "fe80::1"},
                {"if": "mesh1", "if_bindto_v4": "10.31.0.1", "if_bindto_v6": "-"}]}}):
            doc = json.loads(self.nodeinfo_text())
        self.assertEqual(compact(doc["software"]["olsr2"]["interfaces"]), compact({
            "mesh0": {"mac": "02:00:00:00:00:01", "v4": None, "v6": "fe80::1"},
            "mesh1": {"mac": None, "v4": "10.31.0.1", "v6": None}}))


# Answers that lack what they should carry: the elements and values
# concerned are left out, everything else stays.
MALFORMED_V1 = {
    "version": {"$raw": "{broken"},          # parses to nothing
    "plugins": {"pid": 1},                    # no "plugins"
    "interfaces": {"interfaces": [
        {"configured": True, "olsrInterface": {"ipAddress": "10.9.0.1"}},  # no name
        {"name": 5, "olsrInterface": {"ipAddress": "10.9.0.2"}},           # name not text
        "garbage",
        {"name": "mesh0", "configured": True, "olsrInterface": "down"},    # not an object
    ]},
}
MALFORMED_V2 = {
    "systeminfo jsonraw version": {"version": {"version_text": "v"}},  # not an array
    "olsrv2info jsonraw originator": {"originator": [
        {"originator": 10}, {}, None, {"originator": "10.31.0.5"}]},
    "nhdpinfo jsonraw interface": {"interface": [
        {"if_mac": "02:00:00:00:00:07", "if_bindto_v4": "10.0.0.7"},   # no "if"
        {"if": "mesh0", "if_bindto_v4": 17, "if_bindto_v6": None},      # not text
        {"if": "mesh2"}]},                                               # missing
}
MALFORMED_DOC = {
    "network": {
        "addresses": ["10.9.0.1", "10.9.0.2", "10.31.0.5"],
        "interfaces": {
            "mesh0": {"olsr1": {"configured": True, "up": None, "ipAddress": None, "mode": None},
                      "olsr2": {"mac": None, "v4": None, "v6": None}},
            "mesh2": {"olsr2": {"mac": None, "v4": None, "v6": None}},
        },
        "mesh": {"mesh0": {"interfaces": {"other": [None]}},
                 "mesh2": {"interfaces": {"other": [None]}}},
    },
    "software": {
        "olsr1": {"running": True, "addresses": ["10.9.0.1", "10.9.0.2"],
                  "interfaces": {"mesh0": {"configured": True, "up": None, "ipAddress": None,
                                           "mode": None}}},
        "olsr2": {"running": True, "addresses": ["10.31.0.5"],
                  "interfaces": {"mesh0": {"mac": None, "v4": None, "v6": None},
                                 "mesh2": {"mac": None, "v4": None, "v6": None}}},
    },
}


class MalformedAnswers(NodeinfoTest):
    def test_incomplete_answers_drop_only_what_is_missing(self):
        self.running()
        with olsrd(MALFORMED_V1), olsrd2(MALFORMED_V2):
            self.assertEqual(self.nodeinfo_text(), compact(MALFORMED_DOC))

    def test_unparsable_or_arrayless_answers_give_empty_lists_and_tables(self):
        self.running()
        for v1, v2 in (({"$raw": "{broken"}, {"$raw": "{broken"}),
                       ({"interfaces": {"name": "x"}}, {"interface": "mesh0"})):
            with self.subTest(v1=v1, v2=v2), \
                 olsrd({"interfaces": v1}), \
                 olsrd2({"nhdpinfo jsonraw interface": v2,
                         "olsrv2info jsonraw originator": v2}):
                doc = json.loads(self.nodeinfo_text())
            self.assertEqual(compact(doc), compact({
                "network": {"addresses": [], "interfaces": {}, "mesh": {}},
                "software": {"olsr1": {"running": True, "addresses": [], "interfaces": {}},
                             "olsr2": {"running": True, "addresses": [], "interfaces": {}}}}))


class InterfaceClasses(NodeinfoTest):
    def test_bridge_over_wireless_and_wired_devices(self):
        # The bridge's lowest device is a-wl (the first lower device by
        # name), so its own address goes after a-wl's under "wireless".
        self.link("ip link add a-wl address 02:bb:00:00:00:0a type veth peer name a-wlp", "a-wl")
        self.link("ip link add b-eth address 02:bb:00:00:00:0b type veth peer name b-ethp", "b-eth")
        self.link("ip link add br-mesh address 02:bb:00:00:00:01 type bridge", "br-mesh")
        sh("ip link set a-wl master br-mesh && ip link set b-eth master br-mesh")
        self.link("ip tuntap add dev tun-mesh mode tun", "tun-mesh")
        write(WIRELESS_LIST, "a-wl\n")
        self.running(v2=False)
        names = ["br-mesh", "a-wl", "tun-mesh", "ghost0", "lo"]
        with olsrd({"interfaces": {"interfaces": [{"name": n} for n in names]}}):
            mesh = json.loads(self.nodeinfo_text(env=wifi_env()))["network"]["mesh"]
            plain = json.loads(self.nodeinfo_text())["network"]["mesh"]
        self.assertEqual(compact(mesh), compact({
            "br-mesh": {"interfaces": {"wireless": ["02:bb:00:00:00:0a", "02:bb:00:00:00:01"],
                                       "wired": ["02:bb:00:00:00:0b"]}},
            "a-wl": {"interfaces": {"wireless": ["02:bb:00:00:00:0a"]}},
            "tun-mesh": {"interfaces": {"tunnel": [None]}},
            "ghost0": {"interfaces": {"other": [None]}},
        }))
        # With the shipped library the same veth is wired.
        self.assertEqual(plain["a-wl"], {"interfaces": {"wired": ["02:bb:00:00:00:0a"]}})

    def test_names_that_could_leave_sys_class_net_stay_out_of_mesh(self):
        # /tmp/x looks like an interface directory whose lower device is
        # the real trap0: a name reaching /sys/class/net/../../../tmp/x
        # would file trap0's address under the made-up interface.
        self.link("ip link add trap0 address 02:bb:00:00:00:99 type veth peer name trap0p",
                  "trap0")
        os.makedirs("/tmp/x/lower_trap0", exist_ok=True)
        self.addCleanup(sh, "rm -rf /tmp/x", False)
        self.running(v1=False)
        unsafe = ["../../../tmp/x", ".", "..", "", "a/b", "sixteen-chars-xx"]
        with olsrd2({"nhdpinfo jsonraw interface": {"interface": [
                {"if": name, "if_mac": "02:00:00:00:00:01"} for name in unsafe + ["mesh0"]]}}):
            text = self.nodeinfo_text()
        doc = json.loads(text)
        self.assertNotIn("02:bb:00:00:00:99", text)
        self.assertEqual(doc["network"]["mesh"], {"mesh0": {"interfaces": {"other": [None]}}})
        # The daemon's table, and the network interfaces, keep its names.
        self.assertEqual(list(doc["network"]["interfaces"]), unsafe + ["mesh0"])
        self.assertEqual(list(doc["software"]["olsr2"]["interfaces"]), unsafe + ["mesh0"])


def sanitizer_build():
    """True when dravel is built with AddressSanitizer, which cannot run
    under valgrind (its leak checker already fails every run of dravel in
    these tests that leaks)."""
    with open(DRAVEL, "rb") as f:
        return b"libasan.so" in f.read()


@unittest.skipIf(sanitizer_build(), "AddressSanitizer build: its leak checker covers every run")
@unittest.skipIf(os.environ.get("TARVIK_TEST_EMULATOR"), "valgrind cannot run a program under the emulator")
class NoLeaks(NodeinfoTest):
    """dravel under valgrind: no definite leak in the full and in the
    malformed scenario (valgrind is slow, so only these two)."""

    def valgrind_nodeinfo(self, env=None):
        cmd = ["valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
               "--error-exitcode=99", "--child-silent-after-fork=yes", "-q", DRAVEL]
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300, env=env)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        line = [l for l in proc.stdout.splitlines() if l.startswith("provider_nodeinfo: ")]
        self.assertEqual(len(line), 1, proc.stdout)
        return line[0][len("provider_nodeinfo: "):]

    def test_full_document_with_every_interface_class(self):
        self.link("ip link add a-wl address 02:bb:00:00:00:0a type veth peer name a-wlp", "a-wl")
        self.link("ip link add mesh0 address 02:bb:00:00:00:0b type veth peer name mesh0p", "mesh0")
        self.link("ip link add br-mesh type bridge", "br-mesh")
        sh("ip link set a-wl master br-mesh && ip link set mesh0 master br-mesh")
        self.link("ip tuntap add dev mesh-vpn mode tun", "mesh-vpn")
        write(WIRELESS_LIST, "a-wl\n")
        self.running()
        v1 = standin_answers("olsrd")
        v1["interfaces"]["interfaces"].append({"name": "br-mesh", "configured": True})
        with olsrd(v1), olsrd2(standin_answers("olsrd2")):
            doc = json.loads(self.valgrind_nodeinfo(env=wifi_env()))
        self.assertEqual(list(doc["network"]["mesh"]), ["mesh0", "mesh-vpn", "br-mesh"])
        self.assertEqual(list(doc["network"]["mesh"]["br-mesh"]["interfaces"]),
                         ["wireless", "wired"])

    def test_malformed_answers(self):
        self.running()
        with olsrd(MALFORMED_V1), olsrd2(MALFORMED_V2):
            self.assertEqual(self.valgrind_nodeinfo(), compact(MALFORMED_DOC))


if __name__ == "__main__":
    unittest.main()
