"""Helpers for the end-to-end tests.

The tests run inside the sandbox (tests/sandbox/sandbox), so they write the
system's fixed paths (/etc/plovan/site.json, /etc/init.d/*, /tmp/...) and
listen on its fixed ports. Paths to the built programs come from the
environment that CTest sets (TARVIK_SOURCE_DIR, TARVIK_BUILD_DIR, DRAVEL,
TARVIK_KAVOND). In a cross build DRAVEL and TARVIK_KAVOND are scripts that
start the target's program under the emulator, and TARVIK_TEST_EMULATOR
is the emulator's command (the build's "run"), which any other program of
the build needs in front of it.
"""
import json
import os
import re
import shlex
import socket
import subprocess
import time
import unittest

SOURCE_DIR = os.environ.get("TARVIK_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DIR = os.environ.get("TARVIK_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
DRAVEL = os.environ.get("DRAVEL", os.path.join(BUILD_DIR, "debug", "dravel"))
KAVOND = os.environ.get("TARVIK_KAVOND", os.path.join(BUILD_DIR, "providers", "olsr-kavond"))
EMULATOR = shlex.split(os.environ.get("TARVIK_TEST_EMULATOR", ""))
STANDIN = os.path.join(SOURCE_DIR, "standin")

OLSRD_PORT = 9090
OLSRD2_PORT = 1980


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def site_config(v1=None, v2=None, raw=None):
    """Writes /etc/plovan/site.json enabling the daemons as asked (None
    leaves the daemon's section out); `raw` writes that text instead."""
    if raw is not None:
        write("/etc/plovan/site.json", raw)
        return
    olsrd = {}
    if v1 is not None:
        olsrd["v1_4"] = {"enable": v1}
    if v2 is not None:
        olsrd["v2"] = {"enable": v2}
    write("/etc/plovan/site.json", json.dumps({"mesh": {"olsrd": olsrd}}))


def init_script(name, body):
    """Installs /etc/init.d/NAME as a shell script with `body`."""
    write(f"/etc/init.d/{name}", "#!/bin/sh\n" + body + "\n", 0o755)


def init_exit(name, status):
    init_script(name, f"exit {status}")


def wait_port(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.02)
    return False


class Daemon:
    """A stand-in routing daemon; `answers` maps commands to answers (see
    standin/olsr_standin.py). Stop it with stop(), or use it in `with`."""

    def __init__(self, port, answers, telnet=False, log=None):
        self.port = port
        self.answers_path = f"/run/standin-{port}.json"
        self.set_answers(answers)
        args = ["python3", os.path.join(STANDIN, "olsr_standin.py"),
                "--port", str(port), "--answers", self.answers_path]
        if telnet:
            args.append("--telnet")
        if log:
            args += ["--log", log]
        self.proc = subprocess.Popen(args)
        if not wait_port(port):
            self.stop()
            raise RuntimeError(f"stand-in daemon did not start on {port}")

    def set_answers(self, answers):
        write(self.answers_path, json.dumps(answers))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def olsrd(answers, **kw):
    return Daemon(OLSRD_PORT, answers, telnet=False, **kw)


def olsrd2(answers, **kw):
    return Daemon(OLSRD2_PORT, answers, telnet=True, **kw)


def standin_answers(name):
    """The stand-in's realistic answers: "olsrd" or "olsrd2"."""
    with open(os.path.join(STANDIN, "answers", name + ".json")) as f:
        return json.load(f)


def run(cmd, timeout=60, env=None, check=True):
    """Runs `cmd` with its output captured as text. With `check`, a failure
    fails the calling test with the command's own messages."""
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    if check and proc.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, cmd))}: exit {proc.returncode}\n"
                             f"{proc.stderr}{proc.stdout}".rstrip())
    return proc


def sh(command, check=True):
    """Runs a shell command; returns its standard output."""
    return run(["sh", "-c", command], check=check).stdout


def run_dravel(timeout=60, env=None):
    """Runs dravel; returns (lines as {label: text after ": "}, completed).
    A run that ends in a sanitizer report (sanitizer build) or dies by a
    signal fails the calling test here, whatever the test checks next."""
    proc = run([DRAVEL], timeout=timeout, env=env, check=False)
    check_no_crash(proc)
    return parse_driver_output(proc.stdout), proc


# The labels of the driver's result lines, in the order it prints them.
DRIVER_LABELS = ["get_traffic", "provider_neighbours", "provider_nodeinfo",
                 "provider_statistics", "olsr1_nodeinfo", "olsr2_nodeinfo",
                 "zistad_clients", "make_safe"]


def split_driver_output(text):
    """The driver's result lines as {label: rest of line}, and the other
    non-empty lines of its output (the library's messages, such as a
    failed ARP probe's), in order. Checks that each result line is
    followed by one empty line."""
    lines = text.split("\n")
    out, messages = {}, []
    for i, line in enumerate(lines):
        label, sep, rest = line.partition(": ")
        if sep and label in DRIVER_LABELS and label not in out:
            if i + 1 >= len(lines) or lines[i + 1] != "":
                raise AssertionError(f"result line not followed by an empty line: {line!r}")
            out[label] = rest
        elif line:
            messages.append(line)
    return out, messages


def parse_driver_output(text):
    """{label: rest of line} for every result line of the driver (see
    split_driver_output)."""
    return split_driver_output(text)[0]


def driver_json(lines, label):
    """The JSON value printed for `label` (None for "failed" lines)."""
    text = lines[label]
    if text.startswith("failed"):
        return None
    return json.loads(text)


class SandboxTest(unittest.TestCase):
    """Base class: removes what a test placed at the fixed paths, so the
    tests of one file do not see each other's files."""

    PATHS = ["/etc/plovan/site.json", "/etc/init.d/olsrd", "/etc/init.d/olsrd2"]

    def setUp(self):
        for p in self.PATHS:
            try:
                os.remove(p)
            except FileNotFoundError:
                pass


# ---- zistad and the interface "local-port" ------------------------------

ZISTAD_SOCKET = "/var/run/zistad.sock"


class Zistad:
    """The stand-in zistad (standin/zistad.py) at ZISTAD_SOCKET: `mode` as
    the stand-in describes it, `answer` the JSON value it answers
    "get_clients" with, `log` a file of one JSON line per connection.
    Ready when constructed; use it in `with`, or stop() it."""

    def __init__(self, mode="clients", answer=None, log=None):
        ready = "/run/zistad-ready"
        if os.path.exists(ready):
            os.remove(ready)
        args = ["python3", os.path.join(STANDIN, "zistad.py"), "--socket", ZISTAD_SOCKET,
                "--mode", mode, "--ready", ready]
        if answer is not None:
            write("/run/zistad-answer.json", json.dumps(answer))
            args += ["--answer", "/run/zistad-answer.json"]
        if log:
            args += ["--log", log]
        self.proc = subprocess.Popen(args)
        deadline = time.monotonic() + 10
        while not os.path.exists(ready):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("stand-in zistad did not start")
            time.sleep(0.02)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        if os.path.exists(ZISTAD_SOCKET):
            os.remove(ZISTAD_SOCKET)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


LINK_COUNTERS = ["rx_packets", "tx_packets", "rx_bytes", "tx_bytes",
                 "rx_errors", "tx_errors", "rx_dropped", "tx_dropped"]


class LocalPort:
    """A veth "local-port" (10.77.0.1/24) whose peer "lp-peer" (10.77.0.2/24)
    lives in the namespace "lp-ns". IPv6 is off on both ends, so neither
    sends anything unasked: the only traffic is what the test sends. Use it
    in `with`, or stop() it."""

    NS = "lp-ns"

    def __init__(self):
        sh(f"ip netns add {self.NS}")
        try:
            sh(f"ip link add local-port type veth peer name lp-peer netns {self.NS}")
            sh("echo 1 > /proc/sys/net/ipv6/conf/local-port/disable_ipv6")
            sh(f"ip netns exec {self.NS} sh -c "
               "'echo 1 > /proc/sys/net/ipv6/conf/lp-peer/disable_ipv6'")
            sh("ip addr add 10.77.0.1/24 dev local-port && ip link set local-port up")
            sh(f"ip -n {self.NS} addr add 10.77.0.2/24 dev lp-peer && "
               f"ip -n {self.NS} link set lp-peer up && ip -n {self.NS} link set lo up")
        except Exception:
            self.stop()
            raise

    _SEND = ("import socket,sys\n"
             "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
             "s.setsockopt(socket.SOL_SOCKET,socket.SO_BROADCAST,1)\n"
             "s.setsockopt(socket.SOL_SOCKET,socket.SO_BINDTODEVICE,sys.argv[1].encode())\n"
             "for _ in range(int(sys.argv[2])):\n"
             "    s.sendto(b'x'*int(sys.argv[3]),('10.77.0.255',9))\n")

    def peer_sends(self, count, size):
        """The peer broadcasts `count` UDP datagrams of `size` bytes: they
        arrive on local-port, and nothing answers them."""
        run(["ip", "netns", "exec", self.NS, "python3", "-c", self._SEND,
             "lp-peer", str(count), str(size)])

    def sends(self, count, size):
        """local-port broadcasts `count` UDP datagrams of `size` bytes."""
        run(["python3", "-c", self._SEND, "local-port", str(count), str(size)])

    @staticmethod
    def counters():
        """The kernel's counters of local-port, by their sysfs names."""
        out = {}
        for name in LINK_COUNTERS:
            with open(f"/sys/class/net/local-port/statistics/{name}") as f:
                out[name] = int(f.read())
        return out

    def stop(self):
        sh("ip link del local-port 2>/dev/null", check=False)
        sh(f"ip netns del {self.NS} 2>/dev/null", check=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class VethPeer:
    """A veth pair: `local` in this namespace, `peer` in the new network
    namespace `netns` (one per pair), where its kernel answers ARP for
    `peer_ip`.
    Addresses are CIDR texts (None: no address); MACs are set when given.
    Use it in `with`; leaving removes the pair and the namespace."""

    def __init__(self, local="mesh0", peer="peer0", local_ip="192.0.2.1/24",
                 peer_ip="192.0.2.2/24", local_mac=None, peer_mac=None, netns="peer"):
        self.local, self.netns = local, netns
        cmds = [f"ip netns add {netns}",
                f"ip link add dev {local} type veth peer name {peer}",
                f"ip link set dev {peer} netns {netns}"]
        if local_mac:
            cmds.append(f"ip link set dev {local} address {local_mac}")
        if peer_mac:
            cmds.append(f"ip -n {netns} link set dev {peer} address {peer_mac}")
        if local_ip:
            cmds.append(f"ip addr add {local_ip} dev {local}")
        if peer_ip:
            cmds.append(f"ip -n {netns} addr add {peer_ip} dev {peer}")
        cmds += [f"ip link set dev {local} up", f"ip -n {netns} link set dev {peer} up"]
        try:
            for c in cmds:
                sh(c)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                with open(f"/sys/class/net/{local}/carrier") as f:
                    if f.read().strip() == "1":
                        break
                time.sleep(0.01)
        except Exception:
            self.remove()
            raise

    def remove(self):
        sh(f"ip link del dev {self.local} 2>/dev/null; ip netns del {self.netns} 2>/dev/null",
           check=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()


def arp_permanent(ip, mac, dev):
    """A permanent entry of the kernel's ARP table (/proc/net/arp)."""
    sh(f"ip neigh replace {ip} lladdr {mac} dev {dev} nud permanent")


def strict_json(text):
    """Parses `text` as JSON proper: NaN and Infinity are refused, as the
    mesh's collectors refuse them."""
    def refuse(name):
        raise ValueError(f"not JSON: {name}")
    return json.loads(text, parse_constant=refuse)


# ---- sanitizer reports ----------------------------------------------------

# The first line of a report of AddressSanitizer, LeakSanitizer or
# UndefinedBehaviorSanitizer (a sanitizer build of a program).
_SANITIZER_REPORT = re.compile(
    r"^(==\d+==ERROR: \w+Sanitizer|SUMMARY: \w+Sanitizer|\S+: runtime error: )", re.M)


def sanitizer_report(stderr):
    """The first line of a sanitizer report in `stderr`, or None."""
    m = _SANITIZER_REPORT.search(stderr or "")
    if m is None:
        return None
    end = stderr.find("\n", m.start())
    return stderr[m.start():end if end >= 0 else len(stderr)]


def check_no_crash(proc):
    """Raises AssertionError when the completed program `proc` (run with
    its stderr captured as text) printed a sanitizer report or was ended by
    a signal (an abort or a crash)."""
    report = sanitizer_report(proc.stderr)
    if report is not None:
        raise AssertionError(f"{proc.args[0]}: sanitizer report: {report}\n{proc.stderr}")
    if proc.returncode < 0:
        raise AssertionError(f"{proc.args[0]}: ended by signal {-proc.returncode}\n{proc.stderr}")


# ---- one node, one neighbour ---------------------------------------------
# The fixture of the refresh command's and the check's tests: the
# interface mesh0 (192.0.2.1, MESH0_MAC) of a veth pair whose other end
# is the neighbour (192.0.2.2, PEER_MAC), and the daemons' answers that
# describe that node.

DOCUMENTS = ["nodeinfo", "statistics", "neighbours"]
MESH0_MAC = "02:00:00:00:01:01"
PEER_MAC = "02:00:00:00:01:02"


def wait_for(condition, timeout=10.0):
    """Whether `condition()` became true within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def leftovers():
    """Processes of olsr-kavond, or of an init script it ran (sleep 60), still
    alive."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        # Under an emulator the program is an argument of the emulator's
        # command line.
        if any(a.endswith(b"olsr-kavond") for a in argv) or argv[:2] == [b"sleep", b"60"]:
            found.append(b" ".join(argv).decode(errors="replace"))
    return found


def cache_file(name):
    return f"/tmp/olsrd-kavond-{name}.json"


def remove_cache_files():
    for name in DOCUMENTS:
        if os.path.exists(cache_file(name)):
            os.remove(cache_file(name))


def one_neighbour_answers(link_quality=1.0, olsrd2_version="v2"):
    """New (olsrd, olsrd2) answer tables for the stand-in daemons: each
    sees mesh0 and the neighbour on it; olsrd's link has `link_quality`."""
    olsrd_answers = {
        "version": {"version": {"version": "0.9.8"}},
        "plugins": {"plugins": []},
        "interfaces": {"interfaces": [
            {"name": "mesh0", "configured": True,
             "olsrInterface": {"up": True, "ipAddress": "192.0.2.1", "mode": "mesh"}}]},
        "links": {"links": [
            {"ifName": "mesh0", "remoteIP": "192.0.2.2", "linkQuality": link_quality,
             "neighborLinkQuality": 0.5}]},
    }
    olsrd2_answers = {
        "systeminfo jsonraw version": {"version": [{"version_text": olsrd2_version}]},
        "olsrv2info jsonraw originator": {"originator": [{"originator": "192.0.2.1"}]},
        "nhdpinfo jsonraw interface": {"interface": [
            {"if": "mesh0", "if_mac": MESH0_MAC, "if_bindto_v4": "192.0.2.1",
             "if_bindto_v6": "-"}]},
        "nhdpinfo jsonraw link": {"link": [
            {"if": "mesh0", "link_vtime": 4.0, "neighbor_originator": "192.0.2.2",
             "link_mac": PEER_MAC}]},
    }
    return olsrd_answers, olsrd2_answers


def mesh0_with_peer(test, arp_entry=True):
    """Makes mesh0 and its peer for the duration of `test`; with
    `arp_entry`, the peer stands in the ARP table."""
    veth = VethPeer(local_mac=MESH0_MAC, peer_mac=PEER_MAC)
    test.addCleanup(veth.remove)
    if arp_entry:
        arp_permanent("192.0.2.2", PEER_MAC, "mesh0")
    return veth
