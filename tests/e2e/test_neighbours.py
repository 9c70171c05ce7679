"""dravel's "provider_neighbours" line: the neighbours of both stand-in
daemons, merged and grouped under the hardware address of each local
interface. Local interfaces are veth ends whose other end lives in a
namespace of the test, whose kernel answers the ARP probes."""
import json
import time
import unittest

from harness import (SandboxTest, VethPeer, arp_permanent, init_exit, olsrd,
                     olsrd2, run, run_dravel, site_config, strict_json)

MESH0_MAC = "02:00:00:00:01:00"
PEER_MAC = "02:1a:11:f0:0a:0b"


def olsrd_link(ifname, ip, lq, nlq):
    return {"ifName": ifname, "remoteIP": ip, "linkQuality": lq,
            "neighborLinkQuality": nlq, "lastHelloTime": 0}


def olsrd2_link(ifname, mac, originator, vtime):
    return {"if": ifname, "link_mac": mac, "neighbor_originator": originator,
            "link_vtime": vtime, "link_status": "symmetric"}


def arp_rows():
    """The rows of the kernel's ARP table as (ip, flags, mac, device)."""
    with open("/proc/net/arp") as f:
        return [(r[0], r[2], r[3], r[5]) for r in (line.split() for line in f.readlines()[1:])]


def send_datagram(ip):
    """One UDP datagram to `ip`: the kernel makes an ARP entry for it, which
    stays incomplete (00:00:00:00:00:00) while nobody answers."""
    run(["python3", "-c", "import socket,sys\n"
         "socket.socket(socket.AF_INET,socket.SOCK_DGRAM).sendto(b'x',(sys.argv[1],9))", ip])


def both_running(v1=True, v2=True):
    site_config(v1=True, v2=True)
    init_exit("olsrd", 0 if v1 else 3)
    init_exit("olsrd2", 0 if v2 else 3)


class NeighboursDocument(SandboxTest):
    def neighbours(self, **kw):
        lines, proc = run_dravel(**kw)
        self.assertEqual(proc.returncode, 0)
        return lines["provider_neighbours"]

    def test_without_site_configuration_it_fails(self):
        self.assertEqual(self.neighbours(), "failed")

    def test_no_daemon_running_gives_an_empty_batadv(self):
        both_running(v1=False, v2=False)
        self.assertEqual(self.neighbours(), '{"batadv":{}}')
        site_config(v1=False, v2=False)
        self.assertEqual(self.neighbours(), '{"batadv":{}}')

    def test_unreachable_running_olsrd2_fails_the_document_and_the_run_goes_on(self):
        both_running(v1=False, v2=True)
        lines, proc = run_dravel()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(lines["provider_neighbours"], "failed")
        self.assertEqual(lines["olsr2_nodeinfo"], "failed 1")

    def test_olsrd2_neighbours_grouped_by_interface_address(self):
        both_running(v1=False, v2=True)
        links = {"link": [
            olsrd2_link("mesh0", "02:aa:00:00:00:01", "fd00::1", 4.0),
            olsrd2_link("ghost0", "02:aa:00:00:00:02", "fd00::2", 1.0),
            olsrd2_link("mesh0", "02:aa:00:00:00:03", "fd00::3", "20.000"),
        ]}
        with VethPeer(local="mesh0", local_mac=MESH0_MAC), \
                olsrd2({"nhdpinfo jsonraw link": links}):
            text = self.neighbours()
        # ghost0 has no hardware address: its neighbour is left out.
        self.assertEqual(text, json.dumps({"batadv": {MESH0_MAC: {"neighbours": {
            "02:aa:00:00:00:01": {"ifname": "mesh0", "best": False, "etx": 4.0,
                                  "olsr2_ip": "fd00::1"},
            "02:aa:00:00:00:03": {"ifname": "mesh0", "best": False, "etx": "20.000",
                                  "olsr2_ip": "fd00::3"},
        }}}}, separators=(",", ":")))

    def test_olsrd_neighbours_from_the_arp_table_and_a_probe(self):
        both_running(v1=True, v2=False)
        links = {"links": [
            olsrd_link("mesh0", "192.0.2.5", 1.0, 0.5),   # in the ARP table
            olsrd_link("mesh0", "192.0.2.2", 0.5, 0.5),   # probed: the peer answers
            olsrd_link("mesh0", "192.0.2.9", 1.0, 1.0),   # probed: nobody answers
            olsrd_link("mesh0", "192.0.2.6", 0, 0.5),     # quality 0
        ]}
        with VethPeer(local="mesh0", local_mac=MESH0_MAC, peer_mac=PEER_MAC), \
                olsrd({"links": links}):
            arp_permanent("192.0.2.5", "02:00:00:00:00:05", "mesh0")
            arp_permanent("192.0.2.6", "02:00:00:00:00:06", "mesh0")
            start = time.monotonic()
            text = self.neighbours()
            took = time.monotonic() - start
        doc = strict_json(text)
        self.assertEqual(list(doc["batadv"]), [MESH0_MAC])
        got = doc["batadv"][MESH0_MAC]["neighbours"]
        self.assertEqual(list(got), ["02:00:00:00:00:05", PEER_MAC, "02:00:00:00:00:06"])
        self.assertEqual(got["02:00:00:00:00:05"], {
            "ifname": "mesh0", "best": False, "etx": 2.0, "olsr1_ip": "192.0.2.5", "tq": 127.5})
        self.assertEqual(list(got[PEER_MAC]), ["ifname", "best", "etx", "olsr1_ip", "tq"])
        self.assertEqual(got[PEER_MAC]["etx"], 4.0)
        # etx is +infinity in memory; the document writes it as null.
        self.assertIsNone(got["02:00:00:00:00:06"]["etx"])
        self.assertEqual(got["02:00:00:00:00:06"]["tq"], 0.0)
        # The dead address cost one bounded probe, not more.
        self.assertLess(took, 5.0)

    def test_empty_arp_table_resolves_olsrd_links_by_probe(self):
        # Nothing but broadcast has been sent: the ARP table holds only its
        # header. olsrd's neighbours are probed, olsrd2's kept.
        both_running()
        links = {"links": [
            olsrd_link("mesh0", "192.0.2.2", 1.0, 0.5),   # the peer answers
            olsrd_link("mesh0", "192.0.2.9", 1.0, 1.0),   # nobody answers
            olsrd_link("mesh0", "192.0.2.2", 0.5, 0.5),   # the probe's result again
        ]}
        with VethPeer(local="mesh0", local_mac=MESH0_MAC, peer_mac=PEER_MAC), \
                olsrd({"links": links}), \
                olsrd2({"nhdpinfo jsonraw link": {"link": [
                    olsrd2_link("mesh0", "02:aa:00:00:00:01", "fd00::1", 1.0)]}}):
            self.assertEqual(arp_rows(), [])
            start = time.monotonic()
            doc = strict_json(self.neighbours())
            took = time.monotonic() - start
        got = doc["batadv"][MESH0_MAC]["neighbours"]
        self.assertEqual(list(got), ["02:aa:00:00:00:01", PEER_MAC])
        self.assertEqual(got[PEER_MAC], {"ifname": "mesh0", "best": False, "etx": 4.0,
                                         "olsr1_ip": "192.0.2.2", "tq": 63.75})
        # Two probes: the third link found the first one's result.
        self.assertLess(took, 4.0)

    def test_incomplete_arp_rows_are_probed_and_dead_neighbours_left_out(self):
        both_running(v1=True, v2=False)
        links = {"links": [
            olsrd_link("mesh0", "192.0.2.8", 1.0, 1.0),   # dead, incomplete row
            olsrd_link("mesh0", "192.0.2.9", 1.0, 1.0),   # dead, incomplete row
            olsrd_link("mesh0", "192.0.2.2", 1.0, 0.5),   # alive, found by probe
        ]}
        with VethPeer(local="mesh0", local_mac=MESH0_MAC, peer_mac=PEER_MAC), \
                olsrd({"links": links}):
            send_datagram("192.0.2.8")
            send_datagram("192.0.2.9")
            self.assertEqual(
                sorted(r for r in arp_rows() if r[2] == "00:00:00:00:00:00"),
                [("192.0.2.8", "0x0", "00:00:00:00:00:00", "mesh0"),
                 ("192.0.2.9", "0x0", "00:00:00:00:00:00", "mesh0")])
            doc = strict_json(self.neighbours())
        self.assertEqual(list(doc["batadv"][MESH0_MAC]["neighbours"]), [PEER_MAC])

    def test_neighbour_seen_by_both_daemons_has_one_merged_record(self):
        both_running()
        with VethPeer(local="mesh0", local_mac=MESH0_MAC, peer_mac=PEER_MAC), \
                olsrd({"links": {"links": [olsrd_link("mesh0", "192.0.2.2", 1.0, 0.5)]}}), \
                olsrd2({"nhdpinfo jsonraw link": {"link": [
                    olsrd2_link("mesh0", "02:aa:00:00:00:01", "fd00::1", 1.0),
                    olsrd2_link("mesh0", PEER_MAC, "fd00::2", 4.0)]}}):
            arp_permanent("192.0.2.2", PEER_MAC, "mesh0")
            text = self.neighbours()
        self.assertEqual(text, json.dumps({"batadv": {MESH0_MAC: {"neighbours": {
            "02:aa:00:00:00:01": {"ifname": "mesh0", "best": False, "etx": 1.0,
                                  "olsr2_ip": "fd00::1"},
            PEER_MAC: {"ifname": "mesh0", "best": False, "etx": 3.0, "olsr2_ip": "fd00::2",
                       "olsr1_ip": "192.0.2.2", "tq": 127.5},
        }}}}, separators=(",", ":")))

    def test_interfaces_with_the_same_address_share_one_member(self):
        both_running(v1=False, v2=True)
        links = {"link": [
            olsrd2_link("mesh0", "02:aa:00:00:00:01", "fd00::1", 1.0),
            olsrd2_link("mesh1", "02:aa:00:00:00:02", "fd00::2", 1.0),
            olsrd2_link("mesh2", "02:aa:00:00:00:03", "fd00::3", 1.0),
        ]}
        with VethPeer(local="mesh0", local_mac=MESH0_MAC, netns="p0"), \
                VethPeer(local="mesh1", local_mac=MESH0_MAC, netns="p1", local_ip=None,
                         peer_ip=None), \
                VethPeer(local="mesh2", local_mac="02:00:00:00:02:00", netns="p2",
                         local_ip=None, peer_ip=None), \
                olsrd2({"nhdpinfo jsonraw link": links}):
            doc = strict_json(self.neighbours())
        self.assertEqual(list(doc["batadv"]), [MESH0_MAC, "02:00:00:00:02:00"])
        self.assertEqual(list(doc["batadv"][MESH0_MAC]["neighbours"]),
                         ["02:aa:00:00:00:01", "02:aa:00:00:00:02"])

    def test_many_interfaces_without_address_leave_the_others_alone(self):
        # More interface names than the provider remembers within a call.
        both_running(v1=False, v2=True)
        links = [olsrd2_link(f"ghost{i}", "02:bb:00:00:00:%02x" % i, f"fd00::{i}", 1.0)
                 for i in range(20)]
        links.insert(3, olsrd2_link("mesh0", "02:aa:00:00:00:01", "fd00::a1", 1.0))
        links.append(olsrd2_link("mesh0", "02:aa:00:00:00:02", "fd00::a2", 1.0))
        with VethPeer(local="mesh0", local_mac=MESH0_MAC), \
                olsrd2({"nhdpinfo jsonraw link": {"link": links}}):
            doc = strict_json(self.neighbours())
        self.assertEqual(list(doc["batadv"]), [MESH0_MAC])
        self.assertEqual(list(doc["batadv"][MESH0_MAC]["neighbours"]),
                         ["02:aa:00:00:00:01", "02:aa:00:00:00:02"])

    def test_non_finite_numbers_in_a_daemon_answer_are_written_as_null(self):
        both_running(v1=False, v2=True)
        raw = ('{"link":[{"if":"mesh0","link_mac":"02:aa:00:00:00:01",'
               '"neighbor_originator":"fd00::1","link_vtime":Infinity},'
               '{"if":"mesh0","link_mac":"02:aa:00:00:00:02",'
               '"neighbor_originator":"fd00::2","link_vtime":NaN}]}')
        with VethPeer(local="mesh0", local_mac=MESH0_MAC), \
                olsrd2({"nhdpinfo jsonraw link": {"$raw": raw}}):
            lines, proc = run_dravel()
        self.assertEqual(proc.returncode, 0)
        doc = strict_json(lines["provider_neighbours"])
        got = doc["batadv"][MESH0_MAC]["neighbours"]
        self.assertIsNone(got["02:aa:00:00:00:01"]["etx"])
        self.assertIsNone(got["02:aa:00:00:00:02"]["etx"])
        # The raw answer printed by the driver is proper JSON as well.
        answer = strict_json(lines["olsr2_nodeinfo"])
        self.assertEqual([link["link_vtime"] for link in answer["link"]], [None, None])


if __name__ == "__main__":
    unittest.main()
