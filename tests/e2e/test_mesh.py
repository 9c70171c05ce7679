"""dravel on every node of the simulated three-node mesh (scripts/mesh.py).

First the mesh itself: each node sees only its own devices and files, the
ARP tables hold exactly the neighbours meant to be there, the others answer
a real ARP probe and the dead one answers nobody, and the stand-in daemons
answer with what the namespaces really hold. Then the documents dravel
prints on each node, against facts the test reads from the kernel itself:
the neighbours each node really has (keyed by real MAC addresses, with the
merged metrics), the interfaces with their classes and addresses, and the
traffic counters of local-port.
"""
import json
import math
import os
import sys
import unittest
from collections import Counter

from harness import BUILD_DIR, DRAVEL, SOURCE_DIR, check_no_crash, parse_driver_output

sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
import mesh  # noqa: E402  (scripts/mesh.py)

NODES = mesh.NODES
LINKS = mesh.LINKS
COUNTERS = ["bytes", "packets", "dropped", "errors"]
HAS_ZISTAD = os.path.exists(os.path.join(SOURCE_DIR, "standin", "zistad.py"))


def compact(value):
    return json.dumps(value, separators=(",", ":"))


def live_links(node):
    return [link for link in LINKS if link.node == node and link.peer is not None]


def setUpModule():
    MeshTest.build()


class MeshTest(unittest.TestCase):
    """The mesh, built once for the module: what the kernel says about
    every node, and one dravel run on each node with the local-port
    counters read just before and just after."""

    @classmethod
    def build(cls):
        cls.mesh = mesh.Mesh(build_dir=BUILD_DIR)
        cls.mesh.up()
        unittest.addModuleCleanup(cls.mesh.down)
        cls.macs = {}      # namespace -> device -> MAC text (None: no address)
        cls.lowers = {}    # node -> device -> lower device names
        cls.arp = {}       # node -> /proc/net/arp rows, before any dravel run
        for node in NODES:
            cls.macs[node], cls.lowers[node] = cls.read_sysfs(node)
            cls.arp[node] = cls.mesh.arp_table(node)
        for node in NODES:
            client = json.loads(mesh.sh("ip", "-n", NODES[node].client_ns, "-j", "link",
                                        "show", "lan0").stdout)[0]
            cls.macs[NODES[node].client_ns] = {"lan0": client["address"]}
        cls.runs = {}
        for node in NODES:
            before = cls.mesh.link_counters(node, "local-port")
            proc = cls.mesh.run(node, [DRAVEL], timeout=60)
            after = cls.mesh.link_counters(node, "local-port")
            cls.runs[node] = (proc, before, after)

    @classmethod
    def read_sysfs(cls, node):
        """Every device of `node` with its address and lower devices, as
        the node's own /sys/class/net shows them."""
        script = ('for d in /sys/class/net/*; do n=${d##*/}; '
                  'printf "%s %s" "$n" "$(cat $d/address)"; '
                  'for l in $d/lower_*; do [ -e "$l" ] && printf " %s" "${l##*/lower_}"; done; '
                  'echo; done')
        out = cls.mesh.run(node, ["bash", "-c", script], check=True).stdout
        macs, lowers = {}, {}
        for line in out.splitlines():
            fields = line.split(" ")
            name, address = fields[0], fields[1]
            macs[name] = address or None
            lowers[name] = [f for f in fields[2:] if f]
        return macs, lowers

    def lines(self, node):
        proc = self.runs[node][0]
        check_no_crash(proc)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return parse_driver_output(proc.stdout)

    def document(self, node, label):
        lines = self.lines(node)
        if label not in lines:
            self.skipTest(f"dravel prints no {label} line")
        self.assertNotEqual(lines[label], "failed", f"{label} on {node}")
        return json.loads(lines[label])

    def assertJsonClose(self, actual, expected, where=""):
        """Equal JSON values, numbers compared closely, member order kept."""
        if isinstance(expected, dict):
            self.assertIsInstance(actual, dict, where)
            self.assertEqual(list(actual), list(expected), f"members of {where}")
            for key in expected:
                self.assertJsonClose(actual[key], expected[key], f"{where}/{key}")
        elif isinstance(expected, float):
            self.assertTrue(isinstance(actual, (int, float)) and not isinstance(actual, bool)
                            and math.isclose(actual, expected, rel_tol=1e-9),
                            f"{where}: {actual!r} != {expected!r}")
        else:
            self.assertEqual(actual, expected, where)


class Mesh(MeshTest):
    def test_each_node_sees_only_its_own_devices(self):
        expected = {
            "node1": {"lo", "mesh0", "mesh-vpn", "local-port"},
            "node2": {"lo", "mesh0", "br-mesh", "mesh1", "mesh2", "local-port"},
            "node3": {"lo", "mesh0", "local-port"},
        }
        for node, devices in expected.items():
            self.assertEqual(set(self.macs[node]), devices, node)
        self.assertEqual(sorted(self.lowers["node2"]["br-mesh"]), ["mesh1", "mesh2"])

    def test_each_node_holds_its_addresses(self):
        for node, n in NODES.items():
            shown = json.loads(self.mesh.run(node, ["ip", "-j", "-4", "addr", "show"],
                                             check=True).stdout)
            held = {d["ifname"]: f'{a["local"]}/{a["prefixlen"]}'
                    for d in shown for a in d["addr_info"] if d["ifname"] != "lo"}
            self.assertEqual(held, n.addresses, node)

    def test_fixed_paths_are_each_nodes_own(self):
        self.mesh.run("node1", ["sh", "-c", "echo node1 > /tmp/mesh-mark"], check=True)
        try:
            seen = [self.mesh.run(n, ["cat", "/tmp/mesh-mark"]).stdout.strip() for n in NODES]
            self.assertEqual(seen, ["node1", "", ""])
        finally:
            os.remove(self.mesh.path("node1", "/tmp/mesh-mark"))
        # The init scripts read each node's own /var/run: olsrd2 runs on
        # node1 and node2, not on node3.
        for node in NODES:
            for daemon in ("olsrd", "olsrd2"):
                status = self.mesh.run(node, [f"/etc/init.d/{daemon}", "running"]).returncode
                self.assertEqual(status, 0 if daemon in NODES[node].running else 3,
                                 f"{daemon} on {node}")
            site = json.loads(self.mesh.run(node, ["cat", "/etc/plovan/site.json"],
                                            check=True).stdout)
            self.assertEqual(set(site["mesh"]["olsrd"]), {"v1_4", "v2"}, node)

    def test_arp_tables_hold_exactly_the_neighbours_found_there(self):
        for link in LINKS:
            rows = [r for r in self.arp[link.node]
                    if r["ip"] == link.remote and r["device"] == link.ifname]
            if link.arp == "table":
                self.assertEqual(len(rows), 1, link)
                self.assertEqual(rows[0]["flags"], "0x2", link)
                self.assertEqual(rows[0]["mac"], self.macs[link.peer[0]][link.peer[1]], link)
            else:
                self.assertEqual(rows, [], link)

    def test_neighbours_outside_the_arp_table_answer_a_probe(self):
        for link in [l for l in LINKS if l.arp == "probe" and l.peer is not None]:
            mac = self.mesh.arp_probe(link.node, link.ifname, link.remote)
            self.assertEqual(mac, self.macs[link.peer[0]][link.peer[1]], link)

    def test_dead_neighbour_is_listed_by_olsrd_but_answers_nobody(self):
        dead = [l for l in LINKS if l.peer is None]
        self.assertEqual([l.remote for l in dead], [mesh.DEAD_NEIGHBOUR])
        remotes = [l["remoteIP"] for l in self.mesh.answers["node2"]["olsrd"]["links"]["links"]]
        self.assertIn(mesh.DEAD_NEIGHBOUR, remotes)
        for ns in mesh.namespaces():
            held = mesh.sh("ip", "-n", ns, "-4", "-o", "addr", "show").stdout
            self.assertNotIn(mesh.DEAD_NEIGHBOUR + "/", held, ns)
        self.assertIsNone(self.mesh.arp_probe("node2", "br-mesh", mesh.DEAD_NEIGHBOUR, 1.0))


class StandIns(MeshTest):
    def test_olsrd_answers_with_the_real_devices(self):
        for node, n in NODES.items():
            status, body = self.mesh.http_get(node, [(mesh.OLSRD_PORT, "/interfaces"),
                                                     (mesh.OLSRD_PORT, "/links")])
            answers = self.mesh.answers[node]["olsrd"]
            self.assertEqual([json.loads(b) for b in body],
                             [answers["interfaces"], answers["links"]], node)
            self.assertEqual(status, [200, 200])
            interfaces = answers["interfaces"]["interfaces"]
            self.assertEqual([i["name"] for i in interfaces], list(n.olsrd))
            for i in interfaces:
                self.assertEqual(i["olsrInterface"]["ipAddress"], n.addresses[i["name"]].split("/")[0])
            links = answers["links"]["links"]
            expected = [(l.ifname, l.remote) for l in LINKS if l.node == node and l.quality]
            self.assertEqual([(l["ifName"], l["remoteIP"]) for l in links], expected)

    def test_olsrd2_answers_with_the_real_devices(self):
        for node, n in NODES.items():
            status, body = self.mesh.http_get(node, [
                (mesh.OLSRD2_PORT, "/telnet/nhdpinfo%20jsonraw%20interface"),
                (mesh.OLSRD2_PORT, "/telnet%2Fnhdpinfo%20jsonraw%20link")])
            if "olsrd2" not in n.running:
                self.assertEqual(status, [None, None], f"olsrd2 listens on {node}")
                continue
            self.assertEqual(status, [200, 200])
            interfaces, links = (json.loads(b) for b in body)
            self.assertEqual({i["if"]: i["if_mac"] for i in interfaces["interface"]},
                             {d: self.macs[node][d] for d in list(n.olsrd2) + ["lo"]})
            self.assertEqual([(l["if"], l["link_mac"]) for l in links["link"]],
                             [(l.ifname, self.macs[l.peer[0]][l.peer[1]])
                              for l in LINKS if l.node == node and l.vtime is not None])

    def test_dravel_queries_the_daemons_of_its_own_node(self):
        for node, n in NODES.items():
            lines = self.lines(node)
            answers = self.mesh.answers[node]
            self.assertEqual(lines["olsr1_nodeinfo"], compact(answers["olsrd"]["version"]))
            if "olsrd2" in n.running:
                self.assertEqual(lines["olsr2_nodeinfo"],
                                 compact(answers["olsrd2"]["nhdpinfo jsonraw link"]))
            else:
                self.assertEqual(lines["olsr2_nodeinfo"], "failed 1", node)

    def test_zistad_answers_each_nodes_own_client(self):
        if not HAS_ZISTAD:
            self.skipTest("the tree has no zistad stand-in (standin/zistad.py)")
        for node, n in NODES.items():
            lines = self.lines(node)
            if "zistad_clients" not in lines:
                self.skipTest("dravel prints no zistad_clients line")
            answer = json.loads(lines["zistad_clients"])
            client = self.macs[n.client_ns]["lan0"]
            self.assertEqual(list(answer["clientlist"]), [client], node)
            self.assertEqual(answer["clientlist"][client]["ip4"], n.client.split("/")[0])


class Documents(MeshTest):
    def expected_neighbours(self, node):
        """The neighbours document of `node` as the merge of both daemons'
        tables gives it: olsrd2's links first, then olsrd's, records keyed
        by the neighbour's real MAC and grouped under the real MAC of the
        local device."""
        merged = {}
        olsr2 = [l for l in live_links(node) if l.vtime is not None and "olsrd2" in NODES[node].running]
        olsr1 = [l for l in live_links(node) if l.quality is not None and "olsrd" in NODES[node].running]
        for proto, links in (("olsr2", olsr2), ("olsr1", olsr1)):
            for link in links:
                peer_mac = self.macs[link.peer[0]][link.peer[1]]
                if proto == "olsr2":
                    etx, ip, tq = link.vtime, NODES[link.peer[0]].originator, None
                else:
                    lq, nlq = link.quality
                    etx, ip, tq = 1.0 / (lq * nlq), link.remote, lq * nlq * 255.0
                rec = merged.setdefault(peer_mac, {})
                rec["ifname"] = link.ifname
                rec.setdefault("best", False)
                rec["etx"] = etx if "etx" not in rec else (rec["etx"] + etx) * 0.5
                rec[f"{proto}_ip"] = ip
                if tq is not None:
                    rec["tq"] = tq if "tq" not in rec else (rec["tq"] + tq) * 0.5
        batadv = {}
        for peer_mac, rec in merged.items():
            local = self.macs[node][rec["ifname"]]
            batadv.setdefault(local, {"neighbours": {}})["neighbours"][peer_mac] = rec
        return {"batadv": batadv}

    def test_neighbours_are_the_real_neighbours_with_their_metrics(self):
        for node in NODES:
            doc = self.document(node, "provider_neighbours")
            self.assertJsonClose(doc, self.expected_neighbours(node), node)
        # The shapes the mesh is built to show.
        node2 = self.document("node2", "provider_neighbours")["batadv"]
        merged = node2[self.macs["node2"]["mesh0"]]["neighbours"][self.macs["node1"]["mesh0"]]
        self.assertEqual(list(merged), ["ifname", "best", "etx", "olsr2_ip", "olsr1_ip", "tq"])
        self.assertAlmostEqual(merged["etx"], (6.0 + 1.0 / 0.8) / 2)
        probed = node2[self.macs["node2"]["br-mesh"]]["neighbours"]
        self.assertEqual(list(probed), [self.macs["node3"]["mesh0"]])  # the dead one is left out

    def expected_classes(self, node, device):
        """{class: Counter of addresses} that classifying `device` files:
        each lower device's address under the class of its lowest device,
        then the device's own under the class of its own lowest device."""
        def lowest(name):
            lowers = sorted(self.lowers[node].get(name, []))
            return lowest(lowers[0]) if lowers else name
        classes = {}
        for name in self.lowers[node].get(device, []) + [device]:
            cls = mesh.device_class(node, lowest(name))
            classes.setdefault(cls, Counter())[self.macs[node][name]] += 1
        return classes

    def test_nodeinfo_lists_the_interfaces_with_classes_and_addresses(self):
        for node, n in NODES.items():
            doc = self.document(node, "provider_nodeinfo")
            net, software = doc["network"], doc["software"]
            ip = {d: cidr.split("/")[0] for d, cidr in n.addresses.items()}
            ip["lo"] = "127.0.0.1"
            olsr1 = list(n.olsrd) if "olsrd" in n.running else []
            olsr2 = list(n.olsrd2) + ["lo"] if "olsrd2" in n.running else []
            names = olsr1 + [d for d in olsr2 if d not in olsr1]
            self.assertEqual(list(net["interfaces"]), names, node)
            for name in names:
                entry = net["interfaces"][name]
                self.assertEqual(list(entry), [k for k, on in (("olsr1", name in olsr1),
                                                              ("olsr2", name in olsr2)) if on])
                if name in olsr1:
                    self.assertEqual(entry["olsr1"]["ipAddress"], ip[name], f"{node} {name}")
                    self.assertIs(entry["olsr1"]["configured"], True)
                    self.assertIs(entry["olsr1"]["up"], True)
                if name in olsr2:
                    self.assertEqual(entry["olsr2"], {"mac": self.macs[node][name],
                                                      "v4": ip[name], "v6": None})
            addresses = [ip[d] for d in olsr1] + ([n.originator] if olsr2 else [])
            self.assertEqual(net["addresses"], addresses, node)
            self.assertEqual(list(net["mesh"]), [d for d in names if d != "lo"], node)
            for name, info in net["mesh"].items():
                got = {cls: Counter(macs) for cls, macs in info["interfaces"].items()}
                self.assertEqual(got, self.expected_classes(node, name), f"{node} {name}")
                own = self.macs[node][name]
                self.assertIn(own, [macs[-1] for macs in info["interfaces"].values()])
            self.assertEqual(list(software), ["olsr1", "olsr2"])
            self.assertEqual(software["olsr1"]["running"], "olsrd" in n.running)
            self.assertEqual(software["olsr2"]["running"], "olsrd2" in n.running)
            if "olsrd2" not in n.running:
                self.assertEqual(software["olsr2"], {"running": False})
            for key, listed in (("olsr1", olsr1), ("olsr2", olsr2)):
                if listed:
                    self.assertEqual(software[key]["interfaces"],
                                     {d: net["interfaces"][d][key] for d in listed})
        # The classes the mesh is built to show.
        node3 = self.document("node3", "provider_nodeinfo")["network"]["mesh"]
        self.assertEqual(node3["mesh0"]["interfaces"], {"wireless": [self.macs["node3"]["mesh0"]]})
        node1 = self.document("node1", "provider_nodeinfo")["network"]["mesh"]
        self.assertEqual(node1["mesh-vpn"]["interfaces"], {"tunnel": [None]})
        node2 = self.document("node2", "provider_nodeinfo")["network"]["mesh"]
        self.assertEqual(set(node2["br-mesh"]["interfaces"]), {"wireless", "wired"})

    def test_statistics_counters_are_those_of_local_port(self):
        for node, n in NODES.items():
            doc = self.document(node, "provider_statistics")
            _, before, after = self.runs[node]
            self.assertEqual(list(doc), ["clients", "traffic"])
            traffic = doc["traffic"]
            self.assertEqual(list(traffic), ["rx", "tx"], node)
            for way in ("rx", "tx"):
                self.assertEqual(list(traffic[way]), COUNTERS)
                for counter in COUNTERS:
                    value = traffic[way][counter]
                    key = f"{way}_{counter}"
                    self.assertTrue(before[key] <= value <= after[key],
                                    f"{node} {key}: {value} outside {before[key]}..{after[key]}")
                self.assertGreater(traffic[way]["packets"], 0, f"{node} {way}")
            if not HAS_ZISTAD:
                self.assertIsNone(doc["clients"], node)
            else:
                client = self.macs[n.client_ns]["lan0"]
                self.assertEqual(doc["clients"], {
                    "total": 1,
                    "list": {client: {"ip4": n.client.split("/")[0], "ifname": "local-port",
                                      "connected": 600}}})


if __name__ == "__main__":
    unittest.main()
