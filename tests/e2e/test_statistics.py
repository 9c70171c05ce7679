"""dravel's lines "get_traffic", "provider_statistics" and "zistad_clients":
the traffic counters of "local-port" as the kernel counts them, and the
clients that the stand-in zistad reports, in every state of both sources."""
import json
import os
import time
import unittest

from harness import LocalPort, SandboxTest, Zistad, driver_json, run_dravel

ANSWER = {
    "clients": 2,
    "clientlist": {
        "02:5a:31:00:10:01": {"ip4": "10.31.16.23", "ifname": "wlan0-ap"},
        "02:5a:31:00:10:02": {"ip4": "10.31.16.41", "ifname": "wlan1-ap"},
    },
    "uptime": 5123,
}
ZISTAD_LOG = "/run/zistad-e2e.log"


def compact(value):
    return json.dumps(value, separators=(",", ":"))


class StatisticsTest(SandboxTest):
    def setUp(self):
        super().setUp()
        if os.path.exists(ZISTAD_LOG):
            os.remove(ZISTAD_LOG)

    def statistics(self, lines):
        document = driver_json(lines, "provider_statistics")
        self.assertIsNotNone(document, "provider_statistics must always give a document")
        self.assertEqual(list(document), ["clients", "traffic"])
        return document

    def assert_traffic_bracketed(self, traffic, before, after):
        """`traffic` is {"rx": {...}, "tx": {...}} in the document's order,
        each counter between the kernel's values read before and after."""
        self.assertEqual(list(traffic), ["rx", "tx"])
        for direction in ("rx", "tx"):
            counters = traffic[direction]
            self.assertEqual(list(counters), ["bytes", "packets", "dropped", "errors"])
            for member, value in counters.items():
                name = f"{direction}_{member}"
                with self.subTest(counter=name):
                    self.assertGreaterEqual(value, before[name])
                    self.assertLessEqual(value, after[name])


class Traffic(StatisticsTest):
    def test_counters_of_local_port_are_the_kernels(self):
        with LocalPort() as port:
            # Known traffic in each direction, different in count and size.
            port.peer_sends(7, 300)
            port.sends(3, 120)
            before = port.counters()
            lines, proc = run_dravel()
            after = port.counters()
        self.assertEqual(proc.returncode, 0)
        self.assertGreaterEqual(before["rx_packets"], 7)
        self.assertGreaterEqual(before["rx_bytes"], 7 * 300)
        self.assertGreaterEqual(before["tx_packets"], 3)
        traffic = driver_json(lines, "get_traffic")
        self.assertIsNotNone(traffic)
        self.assert_traffic_bracketed(traffic, before, after)
        self.assert_traffic_bracketed(self.statistics(lines)["traffic"], before, after)

    def test_without_local_port_traffic_is_null(self):
        with Zistad(answer=ANSWER):
            lines, proc = run_dravel()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(lines["get_traffic"], "failed")
        document = self.statistics(lines)
        self.assertIsNone(document["traffic"])
        self.assertEqual(document["clients"]["total"], 2)

    def test_both_sources_failing(self):
        lines, proc = run_dravel()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(lines["provider_statistics"], '{"clients":null,"traffic":null}')
        self.assertEqual(lines["get_traffic"], "failed")
        self.assertEqual(lines["zistad_clients"], "failed")


class Clients(StatisticsTest):
    def test_answer_is_printed_and_shared_into_the_document(self):
        with Zistad(answer=ANSWER, log=ZISTAD_LOG):
            lines, _ = run_dravel()
        self.assertEqual(lines["zistad_clients"], compact(ANSWER))
        clients = self.statistics(lines)["clients"]
        self.assertEqual(list(clients), ["total", "list"])
        self.assertEqual(clients["total"], 2)
        self.assertEqual(lines["provider_statistics"].split(',"traffic"')[0],
                         '{"clients":' + compact({"total": 2, "list": ANSWER["clientlist"]}))
        # One request per step, each ended by the client.
        with open(ZISTAD_LOG) as f:
            log = [json.loads(line) for line in f]
        self.assertEqual(log, [{"request": "get_clients", "complete": True}] * 2)

    def test_zistad_absent_leaves_clients_null_and_traffic_filled(self):
        with LocalPort():
            lines, _ = run_dravel()
        self.assertEqual(lines["zistad_clients"], "failed")
        document = self.statistics(lines)
        self.assertIsNone(document["clients"])
        self.assertEqual(list(document["traffic"]), ["rx", "tx"])

    def test_answer_without_clientlist_gives_an_empty_list(self):
        with Zistad("no-clientlist", answer=ANSWER):
            lines, _ = run_dravel()
        self.assertEqual(lines["zistad_clients"],
                         compact({"clients": 2, "uptime": 5123}))
        self.assertEqual(self.statistics(lines)["clients"], {"total": 2, "list": {}})

    def test_answer_without_clients_gives_a_null_total(self):
        with Zistad("no-clients", answer=ANSWER):
            lines, _ = run_dravel()
        clients = self.statistics(lines)["clients"]
        self.assertEqual(list(clients), ["total", "list"])
        self.assertIsNone(clients["total"])
        self.assertEqual(clients["list"], ANSWER["clientlist"])

    def test_no_json_answer_leaves_clients_null(self):
        for mode in ("notjson", "close"):
            with self.subTest(mode=mode):
                with Zistad(mode, answer=ANSWER):
                    lines, proc = run_dravel()
                self.assertEqual(proc.returncode, 0)
                self.assertEqual(lines["zistad_clients"], "failed")
                self.assertIsNone(self.statistics(lines)["clients"])

    def test_zistad_that_never_answers_is_given_up_in_bounded_time(self):
        # It accepts and holds the connection for a minute without a word;
        # each of dravel's two requests gives up after 3 s of silence.
        with LocalPort(), Zistad("silent"):
            start = time.monotonic()
            lines, proc = run_dravel(timeout=30)
            took = time.monotonic() - start
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(lines["zistad_clients"], "failed")
        document = self.statistics(lines)
        self.assertIsNone(document["clients"])
        self.assertEqual(list(document["traffic"]), ["rx", "tx"])
        self.assertGreaterEqual(took, 5.9)
        self.assertLess(took, 15.0)


if __name__ == "__main__":
    unittest.main()
