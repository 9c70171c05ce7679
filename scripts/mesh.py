#!/usr/bin/env python3
"""A simulated three-node mesh in Linux namespaces, for the demo and the
end-to-end tests.

    mesh.py [--build DIR] [--summary] run NODE [--] COMMAND [ARGS...]
        sets the mesh up, runs COMMAND on NODE, tears the mesh down;
        exits with COMMAND's status
    mesh.py [--build DIR] shell [NODE]
        an interactive shell on NODE (default node1); inside it
        "mesh.py exec NODE -- COMMAND" enters any node
    mesh.py [--build DIR] with [--] COMMAND [ARGS...]
        runs COMMAND in the sandbox with the mesh up (not inside a node)
    mesh.py exec NODE [--] COMMAND [ARGS...]
        enters NODE of a mesh that is up (from within "with" or "shell")
    mesh.py describe
        prints the mesh as built: devices, addresses, generated answers

Run as root. Outside the test sandbox the command first re-runs itself
inside tests/sandbox/sandbox, so nothing of the host is touched; as a
module (`import mesh`, for the end-to-end tests) it refuses to build a
mesh outside the sandbox. The mesh is torn down when the command ends,
also on Ctrl-C or SIGTERM; and whatever might remain dies with the
sandbox's namespaces.

The mesh

    node1 mesh0 ------ mesh0 node2 br-mesh: mesh1 ------ mesh0 node3
    10.31.12.1   10.31.12.2        10.31.23.2    mesh2 -- seg0 (node2-wire)

    node1   olsrd (mesh0, mesh-vpn) and olsrd2 (mesh0); mesh-vpn is a tun
            device (a tunnel); its neighbour node2 is in its ARP table.
    node2   olsrd and olsrd2 (mesh0, br-mesh). br-mesh bridges mesh1, the
            radio link to node3 (filed as wireless), and mesh2, a wired
            segment where the neighbour 10.31.23.9 used to be: olsrd still
            lists that link, but nobody holds the address (the dead
            neighbour). node3 is in node2's ARP table, node1 is not (found
            by an ARP probe).
    node3   olsrd (mesh0) only: the site enables olsrd2 too, but it does not
            run. node2 is not in node3's ARP table (found by a probe).
    Every node also has "local-port", a veth whose peer "lan0" sits in the
    namespace nodeN-client, one client that has sent a little traffic.

Isolation of a node. Each node is a named network namespace (/run/netns/
NODE: its own devices, 127.0.0.1, ARP table and /proc/net) plus a mount
namespace of its own, made from inside that network namespace with
`unshare --mount --propagation private` and kept alive by a holder process
(`sleep infinity`, pid in /run/mesh/NODE.holder). In it
    /sys                     sysfs mounted from inside the node's network
                             namespace: /sys/class/net lists its devices
    /etc/plovan, /etc/init.d bind mounts of /run/mesh/NODE/etc/...: site
                             configuration, wireless-device list, init
                             scripts (standin/initd/olsr-init)
    /tmp, /run (/var/run)    bind mounts of /run/mesh/NODE/tmp and run:
                             cache files, pid files, zistad's socket,
                             stand-in answers
Commands enter a node with `nsenter --net=/run/netns/NODE
--mount=/proc/HOLDER/ns/mnt`. (A mount namespace is not kept as a bind-
mounted ns file, `unshare --mount=FILE`: the kernel refuses such a bind
when the new namespace's id is not above the binder's, and here ids are
handed out per CPU, so it failed at random.) The nodes share the sandbox's
PID namespace, so the pid files that the init scripts check are valid in
every node. Directories mounted under the sandbox's /tmp (a build tree
kept by the sandbox) are carried into each node's /tmp. From outside, a
node's files are at /run/mesh/NODE/... (see Mesh.path).

Answers. After the devices are up, the addresses and MAC addresses are read
back from the namespaces (`ip -j addr`), and every stand-in's answers are
generated from them: olsrd's "interfaces" and "links" (with the link
qualities chosen below), olsrd2's interfaces, originator and links
("link_mac" is the real MAC of the neighbour's device), zistad's client
list (the real MAC of each client). The shapes follow the realistic answers
in standin/answers/*.json. The ARP tables are real: links marked "table"
are resolved by sending traffic before the stand-ins start; the neighbour
of a link marked "probe" is then flushed from the node's table (ip neigh
flush), so the node can only find it by an ARP probe. A probe does not
put it back: the kernel takes no entry from an ARP reply it did not ask
for.

Programs run in a node find the build's debug/dravel on PATH, and the test
build of the utility library (build/testbuild-plovanutil, which files the
devices in /etc/plovan/wireless-devices as wireless) first on
LD_LIBRARY_PATH. The build's providers/olsr-kavond is on PATH as well (in
a cross build, the scripts in target-bin/ that run both under the
emulator come first).
"""
import argparse
import copy
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SANDBOX = os.path.join(TOP, "tests", "sandbox", "sandbox")
STANDIN = os.path.join(TOP, "standin")
ROOT = "/run/mesh"
SANDBOX_MARK = "/run/.sandbox"

OLSRD_PORT = 9090
OLSRD2_PORT = 1980
DISCARD_PORT = 9


# ---- the mesh as declared ---------------------------------------------

@dataclass(frozen=True)
class Node:
    name: str
    addresses: dict        # device -> "address/prefix"
    olsrd: tuple           # olsrd's interfaces; () when the site does not enable it
    olsrd2: tuple          # olsrd2's interfaces (its answers add "lo")
    running: tuple         # the daemons that run
    wireless: tuple = ()   # devices filed as wireless by the firmware
    client: str = ""       # the client behind local-port, "address/prefix"

    @property
    def originator(self):
        """olsrd2's main address: that of the first olsrd2 interface."""
        return ip_of(self.addresses[self.olsrd2[0]]) if self.olsrd2 else None

    @property
    def client_ns(self):
        return self.name + "-client"


@dataclass(frozen=True)
class Link:
    """A link as the routing daemons of `node` report it."""
    node: str
    ifname: str
    remote: str            # the neighbour's IPv4 address
    peer: tuple            # (node, device) holding `remote`; None: nobody (dead)
    quality: tuple = None  # olsrd's (linkQuality, neighborLinkQuality); None: not seen by olsrd
    vtime: float = None    # olsrd2's link_vtime; None: not seen by olsrd2
    arp: str = "probe"     # "table": in node's ARP table; "probe": only by an ARP probe


NODES = {n.name: n for n in [
    Node("node1",
         addresses={"mesh0": "10.31.12.1/24", "mesh-vpn": "10.32.0.1/16",
                    "local-port": "192.168.71.1/24"},
         olsrd=("mesh0", "mesh-vpn"), olsrd2=("mesh0",),
         running=("olsrd", "olsrd2"), client="192.168.71.2/24"),
    Node("node2",
         addresses={"mesh0": "10.31.12.2/24", "br-mesh": "10.31.23.2/24",
                    "local-port": "192.168.72.1/24"},
         olsrd=("mesh0", "br-mesh"), olsrd2=("mesh0", "br-mesh"),
         running=("olsrd", "olsrd2"), wireless=("mesh1",),
         client="192.168.72.2/24"),
    Node("node3",
         addresses={"mesh0": "10.31.23.3/24", "local-port": "192.168.73.1/24"},
         olsrd=("mesh0",), olsrd2=("mesh0",),
         running=("olsrd",), wireless=("mesh0",), client="192.168.73.2/24"),
]}

# The segment behind node2's wired bridge port, where the dead neighbour was.
WIRE_NS = "node2-wire"
DEAD_NEIGHBOUR = "10.31.23.9"

# veth pairs: (namespace, device, namespace, device)
VETHS = [("node1", "mesh0", "node2", "mesh0"),
         ("node2", "mesh1", "node3", "mesh0"),
         ("node2", "mesh2", WIRE_NS, "seg0")] + \
        [(n, "local-port", NODES[n].client_ns, "lan0") for n in NODES]
BRIDGES = {("node2", "br-mesh"): ("mesh1", "mesh2")}
TUNS = [("node1", "mesh-vpn")]

LINKS = [
    Link("node1", "mesh0", "10.31.12.2", ("node2", "mesh0"), (1.0, 0.8), 4.0, "table"),
    Link("node2", "mesh0", "10.31.12.1", ("node1", "mesh0"), (0.8, 1.0), 6.0, "probe"),
    Link("node2", "br-mesh", "10.31.23.3", ("node3", "mesh0"), (0.9, 0.5), None, "table"),
    Link("node2", "br-mesh", DEAD_NEIGHBOUR, None, (0.25, 0.4), None, "probe"),
    Link("node3", "mesh0", "10.31.23.2", ("node2", "br-mesh"), (0.5, 0.9), None, "probe"),
]


def ip_of(cidr):
    return cidr.split("/")[0]


def namespaces():
    """Every network namespace of the mesh, nodes first."""
    return list(NODES) + [NODES[n].client_ns for n in NODES] + [WIRE_NS]


def device_class(node, device):
    """How the firmware files `device` of `node`: "wireless", "tunnel" or
    "wired" (every other device of the mesh is an Ethernet device)."""
    if device in NODES[node].wireless:
        return "wireless"
    if (node, device) in TUNS:
        return "tunnel"
    return "wired"


# ---- small helpers ------------------------------------------------------

def sh(*argv, check=True, **kw):
    """Runs a command; with `check`, a failure raises with its messages."""
    proc = subprocess.run(list(argv), capture_output=True, text=True, **kw)
    if check and proc.returncode != 0:
        raise RuntimeError(f"mesh: {' '.join(argv)}: exit {proc.returncode}: "
                           f"{proc.stderr.strip()}")
    return proc


def write_file(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def wait_for(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def inside_sandbox():
    return os.path.isdir(SANDBOX_MARK)


def kept_tmp_mounts():
    """Mount points under /tmp (directories the sandbox carried over),
    outermost only."""
    points = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            # Blanks and the like come octal-escaped (\040).
            point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), line.split()[4])
            if point.startswith("/tmp/"):
                points.append(point)
    points.sort()
    outer = []
    for p in points:
        if not any(p == o or p.startswith(o + "/") for o in outer):
            outer.append(p)
    return outer


def default_build_dir():
    return os.environ.get("TARVIK_BUILD_DIR", os.path.join(TOP, "build"))


# ---- the mesh -------------------------------------------------------------

@dataclass
class Device:
    name: str
    mac: str               # "" for a device without one (tun)
    ipv4: str = None
    prefix: int = None
    up: bool = False
    mtu: int = 1500


class Mesh:
    """The mesh in this sandbox: up() builds it, down() removes it (also as
    a context manager). After up(), `devices` holds what was read back from
    the namespaces and `answers` what each stand-in answers."""

    def __init__(self, build_dir=None):
        self.build_dir = os.path.abspath(build_dir or default_build_dir())
        self.devices = {}   # namespace -> device name -> Device
        self.answers = {}   # node -> stand-in name -> its answers
        self.procs = []     # the stand-ins
        self.holders = {}   # node -> process holding its mount namespace
        self.built = False

    # -- entering a node -------------------------------------------------
    def enter(self, node):
        """The command prefix that runs a program inside `node`."""
        return enter_command(node, self.holders[node].pid)

    def env(self):
        env = dict(os.environ)
        # A cross build's target-bin/ holds scripts that start its dravel
        # and olsr-kavond under the emulator; they come first.
        env["PATH"] = ":".join([os.path.join(self.build_dir, "target-bin"),
                                os.path.join(self.build_dir, "debug"),
                                os.path.join(self.build_dir, "providers"),
                                env.get("PATH", "/usr/bin:/bin")])
        wifi = os.path.join(self.build_dir, "testbuild-plovanutil")
        if os.path.isdir(wifi):
            env["LD_LIBRARY_PATH"] = ":".join(p for p in [wifi, env.get("LD_LIBRARY_PATH")] if p)
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        return env

    def run(self, node, argv, timeout=60, check=False, capture=True, **kw):
        """Runs `argv` inside `node`; returns the CompletedProcess (text).
        With `check`, a failure raises with the command's messages."""
        if capture:
            kw.setdefault("capture_output", True)
        proc = subprocess.run(self.enter(node) + list(argv), env=self.env(), text=True,
                              timeout=timeout, **kw)
        if check and proc.returncode != 0:
            raise RuntimeError(f"mesh: {' '.join(argv)} on {node}: exit {proc.returncode}: "
                               f"{(proc.stderr or '').strip()}")
        return proc

    def helper(self, node, *args, net_only=False, timeout=30):
        """Runs one of this file's in-node helpers (see HELPERS)."""
        prefix = ["nsenter", f"--net=/run/netns/{node}", "--"] if net_only else self.enter(node)
        return subprocess.run(prefix + [sys.executable, os.path.abspath(__file__)] + list(args),
                              env=self.env(), capture_output=True, text=True, timeout=timeout)

    def path(self, node, path):
        """Where `path` of `node` (under /etc/plovan, /etc/init.d, /tmp or
        /run, /var/run) lies as seen from outside the node."""
        for inner, outer in [("/etc/plovan", "etc/plovan"), ("/etc/init.d", "etc/init.d"),
                             ("/tmp", "tmp"), ("/var/run", "run"), ("/run", "run")]:
            if path == inner or path.startswith(inner + "/"):
                return os.path.join(ROOT, node, outer) + path[len(inner):]
        raise ValueError(f"{path} is not a per-node path")

    # -- building ----------------------------------------------------------
    def up(self):
        if not inside_sandbox():
            raise RuntimeError("mesh: runs only inside tests/sandbox/sandbox")
        if os.path.exists(ROOT):
            raise RuntimeError(f"mesh: {ROOT} exists: a mesh is up already")
        self.built = True
        try:
            self._make_namespaces()
            self._make_devices()
            for node in NODES:
                self._make_node_files(node)
                self._make_mount_namespace(node)
            self._make_traffic()
            self.devices = {ns: self.read_devices(ns) for ns in namespaces()}
            for node in NODES:
                self._write_answers(node)
            self._start_standins()
        except BaseException:
            self.down()
            raise
        return self

    def _make_namespaces(self):
        os.makedirs(ROOT)
        for ns in namespaces():
            sh("ip", "netns", "add", ns)
            # IPv4 only: no IPv6 autoconfiguration chatter on the links or
            # in the local-port counters.
            if os.path.exists("/proc/sys/net/ipv6"):
                sh("nsenter", f"--net=/run/netns/{ns}", "sh", "-c",
                   "echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6;"
                   "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6")
            sh("ip", "-n", ns, "link", "set", "lo", "up")

    def _make_devices(self):
        for ns_a, dev_a, ns_b, dev_b in VETHS:
            sh("ip", "link", "add", dev_a, "netns", ns_a, "type", "veth",
               "peer", "name", dev_b, "netns", ns_b)
        for (ns, bridge), ports in BRIDGES.items():
            sh("ip", "-n", ns, "link", "add", bridge, "type", "bridge")
            for port in ports:
                sh("ip", "-n", ns, "link", "set", port, "master", bridge)
        for ns, dev in TUNS:
            sh("ip", "-n", ns, "tuntap", "add", "dev", dev, "mode", "tun")
        for node in NODES.values():
            for dev, cidr in node.addresses.items():
                sh("ip", "-n", node.name, "addr", "add", cidr, "dev", dev)
            sh("ip", "-n", node.client_ns, "addr", "add", node.client, "dev", "lan0")
        for ns in namespaces():
            for dev in json.loads(sh("ip", "-n", ns, "-j", "link", "show").stdout):
                sh("ip", "-n", ns, "link", "set", dev["ifname"], "up")

    def _make_node_files(self, node):
        n = NODES[node]
        base = os.path.join(ROOT, node)
        for sub in ["etc/plovan", "etc/init.d", "tmp", "run/standin"]:
            os.makedirs(os.path.join(base, sub), exist_ok=True)
        os.chmod(os.path.join(base, "tmp"), 0o1777)
        olsrd = {}
        if n.olsrd:
            olsrd["v1_4"] = {"enable": True}
        if n.olsrd2:
            olsrd["v2"] = {"enable": True}
        write_file(self.path(node, "/etc/plovan/site.json"),
                   json.dumps({"mesh": {"olsrd": olsrd}}, indent=2) + "\n")
        write_file(self.path(node, "/etc/plovan/wireless-devices"),
                   "".join(d + "\n" for d in n.wireless))
        for name in ("olsrd", "olsrd2"):
            dest = self.path(node, f"/etc/init.d/{name}")
            shutil.copyfile(os.path.join(STANDIN, "initd", "olsr-init"), dest)
            os.chmod(dest, 0o755)

    def _make_mount_namespace(self, node):
        base = os.path.join(ROOT, node)
        for point in ("/etc/plovan", "/etc/init.d"):  # mount points, in the sandbox's /etc
            os.makedirs(point, exist_ok=True)
        script = [
            "set -e",
            f"mount --bind {base}/etc/plovan /etc/plovan",
            f"mount --bind {base}/etc/init.d /etc/init.d",
            f"mount -t sysfs {node}-sys /sys",
        ]
        for point in kept_tmp_mounts():
            inner = base + "/tmp" + point[len("/tmp"):]
            script += [f"mkdir -p '{inner}'", f"mount --rbind '{point}' '{inner}'"]
        script += [f"mount --rbind {base}/tmp /tmp",
                   f"mount --rbind {base}/run /run",
                   "[ -L /var/run ] || mount --bind /run /var/run",
                   "echo ready",
                   "exec sleep infinity"]
        holder = subprocess.Popen(
            ["nsenter", f"--net=/run/netns/{node}", "unshare", "--mount", "--propagation",
             "private", "sh", "-c", "\n".join(script)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, start_new_session=True)
        self.holders[node] = holder
        # The line comes once the mounts are in place; a failing script
        # ends and closes its output instead.
        if holder.stdout.readline().strip() != "ready":
            holder.wait()
            raise RuntimeError(f"mesh: mount namespace of {node}: {holder.stderr.read().strip()}")
        holder.stdout.close()
        write_file(os.path.join(ROOT, f"{node}.holder"), f"{holder.pid}\n")

    def _make_traffic(self):
        # Neighbours marked "table" are resolved by real traffic; each
        # client sends a little to its node and the node answers.
        for link in LINKS:
            if link.arp == "table":
                self._reach(link.node, link.remote)
        # Each datagram to a closed port draws an ICMP error, but the
        # kernel answers only the first few of a burst (its ICMP rate
        # limit), so local-port receives more packets than it sends.
        for node in NODES.values():
            self._reach(node.client_ns, ip_of(node.addresses["local-port"]), count=12)
            self._reach(node.name, ip_of(node.client), count=2)
        # That traffic also taught the far ends of those links their
        # neighbours: forget every neighbour that is to be found by a probe.
        for link in LINKS:
            if link.arp == "probe" and not wait_for(
                    lambda: self._flushed(link.node, link.ifname, link.remote), 5.0, step=0.05):
                raise RuntimeError(f"mesh: cannot forget {link.remote} on {link.node}")

    def _reach(self, ns, address, count=1):
        """Sends `count` UDP datagrams from `ns` to `address` (discard port)
        and waits, resending, until the kernel of `ns` has resolved it."""
        send = (f"for i in $(seq {count}); do echo mesh > /dev/udp/{address}/{DISCARD_PORT}; done")
        sh("nsenter", f"--net=/run/netns/{ns}", "bash", "-c", send)

        def resolved():
            for entry in json.loads(sh("ip", "-n", ns, "-j", "neigh", "show", "to", address).stdout):
                if entry.get("lladdr") and not {"INCOMPLETE", "FAILED"} & set(entry.get("state", [])):
                    return True
            sh("nsenter", f"--net=/run/netns/{ns}", "bash", "-c",
               f"echo mesh > /dev/udp/{address}/{DISCARD_PORT}")
            return False

        if not wait_for(resolved, 5.0, step=0.05):
            raise RuntimeError(f"mesh: {ns} cannot reach {address}")

    def _flushed(self, ns, dev, addr):
        sh("ip", "-n", ns, "neigh", "flush", "to", addr, "dev", dev)
        time.sleep(0.05)  # an answer still on its way would bring it back
        return sh("ip", "-n", ns, "neigh", "show", "to", addr, "dev", dev).stdout.strip() == ""

    def read_devices(self, ns):
        """The devices of namespace `ns` as the kernel reports them."""
        out = {}
        for d in json.loads(sh("ip", "-n", ns, "-j", "addr", "show").stdout):
            dev = Device(d["ifname"], d.get("address", ""), up="UP" in d.get("flags", []),
                         mtu=d.get("mtu", 1500))
            if d.get("link_type") == "none":
                dev.mac = ""  # a tun device has no hardware address
            for a in d.get("addr_info", []):
                if a.get("family") == "inet":
                    dev.ipv4, dev.prefix = a["local"], a["prefixlen"]
                    break
            out[dev.name] = dev
        return out

    # -- answers -----------------------------------------------------------
    def _write_answers(self, node):
        n = NODES[node]
        answers = {}
        if "olsrd" in n.running:
            answers["olsrd"] = olsrd_answers(n, self.devices[node])
        if "olsrd2" in n.running:
            answers["olsrd2"] = olsrd2_answers(n, self.devices)
        answers["zistad"] = zistad_answer(n, self.devices)
        self.answers[node] = answers
        for name, value in answers.items():
            write_file(self.path(node, f"/run/standin/{name}.json"), json.dumps(value, indent=1))

    def _start_standins(self):
        """Starts every node's stand-in daemons, all at once, and waits
        until each listens; then writes its pid file."""
        starting = []
        for node, n in NODES.items():
            commands = {}
            olsr = os.path.join(STANDIN, "olsr_standin.py")
            if "olsrd" in n.running:
                commands["olsrd"] = [olsr, "--port", str(OLSRD_PORT),
                                     "--answers", "/run/standin/olsrd.json"]
            if "olsrd2" in n.running:
                commands["olsrd2"] = [olsr, "--port", str(OLSRD2_PORT), "--telnet",
                                      "--answers", "/run/standin/olsrd2.json"]
            zistad = zistad_command("/run/standin/zistad.json")
            if zistad:
                commands["zistad"] = zistad
            for name, argv in commands.items():
                argv = argv + ["--ready", f"/run/standin/{name}.ready"]
                with open(self.path(node, f"/run/standin/{name}.log"), "w") as log:
                    proc = subprocess.Popen(self.enter(node) + [sys.executable] + argv,
                                            env=self.env(), stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=log, start_new_session=True)
                self.procs.append(proc)
                starting.append((node, name, proc))
        for node, name, proc in starting:
            ready = self.path(node, f"/run/standin/{name}.ready")
            if not wait_for(lambda: os.path.exists(ready) or proc.poll() is not None, 20.0):
                raise RuntimeError(f"mesh: {name} on {node} did not start within 20 s" +
                                   self._log_tail(node, name))
            if proc.poll() is not None:
                raise RuntimeError(f"mesh: {name} on {node} exited with {proc.returncode}" +
                                   self._log_tail(node, name))
            write_file(self.path(node, f"/var/run/{name}.pid"), f"{proc.pid}\n")

    def _log_tail(self, node, name, lines=15):
        """The end of a stand-in's log, for a message: the log lives in the
        sandbox and vanishes with it."""
        path = self.path(node, f"/run/standin/{name}.log")
        try:
            with open(path, errors="replace") as f:
                tail = f.read().splitlines()[-lines:]
        except OSError as e:
            return f" (no log: {e.strerror})"
        if not tail:
            return f" (its log {path} is empty)"
        return f"; the end of its log {path}:\n" + "\n".join("    " + l for l in tail)

    # -- queries used by the tests -----------------------------------------
    def arp_table(self, node):
        """Rows of the node's /proc/net/arp: dicts ip, mac, flags, device."""
        text = self.run(node, ["cat", "/proc/net/arp"], check=True).stdout
        rows = []
        for line in text.splitlines()[1:]:
            f = line.split()
            rows.append({"ip": f[0], "flags": f[2], "mac": f[3], "device": f[5]})
        return rows

    def arp_probe(self, node, ifname, address, timeout=1.0):
        """Sends one ARP request for `address` on `ifname` of `node`; the
        MAC text of the answer from that address, or None."""
        proc = self.helper(node, "_arp_probe", ifname, address, str(timeout), net_only=True)
        if proc.returncode not in (0, 1):
            raise RuntimeError(f"mesh: ARP probe failed: {proc.stderr.strip()}")
        return proc.stdout.strip() or None

    def http_get(self, node, requests):
        """GETs each (port, target) of `requests` on the node's 127.0.0.1;
        returns the list of statuses (None where nothing answered) and the
        list of bodies (or error texts)."""
        args = [str(x) for request in requests for x in request]
        proc = self.helper(node, "_get", *args, net_only=True)
        if proc.returncode != 0:
            raise RuntimeError(f"mesh: HTTP helper failed: {proc.stderr.strip()}")
        results = json.loads(proc.stdout)
        return [r[0] for r in results], [r[1] for r in results]

    def link_counters(self, node, ifname):
        """The kernel's counters of `ifname` on `node` (sysfs statistics)."""
        names = ["rx_bytes", "rx_packets", "rx_dropped", "rx_errors",
                 "tx_bytes", "tx_packets", "tx_dropped", "tx_errors"]
        text = self.run(node, ["sh", "-c", f"cd /sys/class/net/{ifname}/statistics && cat " +
                               " ".join(names)], check=True).stdout
        return dict(zip(names, map(int, text.split())))

    # -- tearing down ---------------------------------------------------------
    def down(self):
        if not self.built:
            return
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        for holder in self.holders.values():
            holder.kill()
            holder.wait()
            holder.stderr.close()
        self.procs = []
        self.holders = {}
        for ns in namespaces():
            sh("ip", "netns", "del", ns, check=False)
        shutil.rmtree(ROOT, ignore_errors=True)
        self.built = False

    def __enter__(self):
        return self.up()

    def __exit__(self, *exc):
        self.down()

    # -- a short description ----------------------------------------------------
    def summary(self):
        d = self.devices
        mac = lambda node, dev: d[node][dev].mac
        lines = [
            "Simulated mesh: three nodes, each in its own network and mount namespace.",
            f"  node1 mesh0 {mac('node1', 'mesh0')} -- mesh0 {mac('node2', 'mesh0')} node2",
            f"  node2 br-mesh [mesh1, mesh2] {mac('node2', 'br-mesh')}",
            f"        mesh1 -- mesh0 {mac('node3', 'mesh0')} node3 (radio link)",
            f"        mesh2 -- wired segment; {DEAD_NEIGHBOUR} there is dead",
            "  olsrd on node1, node2, node3; olsrd2 on node1, node2",
            "  (node3: enabled, not running); one client behind each local-port.",
            "",
        ]
        return "\n".join(lines)


def enter_command(node, holder_pid):
    """The command prefix that enters `node`, whose mount namespace is
    held by process `holder_pid`."""
    return ["nsenter", f"--net=/run/netns/{node}", f"--mount=/proc/{holder_pid}/ns/mnt", "--"]


def zistad_command(answer_file):
    """How a node starts the zistad stand-in (standin/zistad.py): on
    /var/run/zistad.sock, answering "get_clients" with the content of
    `answer_file` (a path inside the node). None when the tree has no
    zistad stand-in."""
    path = os.path.join(STANDIN, "zistad.py")
    if not os.path.exists(path):
        return None
    return [path, "--socket", "/var/run/zistad.sock", "--answer", answer_file]


# ---- answer generation ----------------------------------------------------

def _template(name):
    with open(os.path.join(STANDIN, "answers", name + ".json")) as f:
        return json.load(f)


def _netmask(prefix):
    bits = (0xFFFFFFFF << (32 - prefix)) & 0xFFFFFFFF
    return ".".join(str((bits >> s) & 0xFF) for s in (24, 16, 8, 0))


def _broadcast(address, prefix):
    value = 0
    for part in address.split("."):
        value = value << 8 | int(part)
    value |= (1 << (32 - prefix)) - 1
    return ".".join(str((value >> s) & 0xFF) for s in (24, 16, 8, 0))


def olsrd_answers(node, devices):
    """olsrd's answers on `node`, from its real devices."""
    t = _template("olsrd")
    head = {k: v for k, v in t["interfaces"].items() if k != "interfaces"}
    model_if = t["interfaces"]["interfaces"][0]
    interfaces = []
    for name in node.olsrd:
        dev = devices[name]
        e = copy.deepcopy(model_if)
        e["name"] = name
        o = e["olsrInterface"]
        o.update({"up": dev.up, "ipv4Address": dev.ipv4, "ipv4Netmask": _netmask(dev.prefix),
                  "ipv4Broadcast": _broadcast(dev.ipv4, dev.prefix),
                  "mode": "ether" if device_class(node.name, name) == "tunnel" else "mesh",
                  "ipAddress": dev.ipv4, "olsrMTU": dev.mtu - 28})
        interfaces.append(e)
    model_link = t["links"]["links"][0]
    links = []
    for link in LINKS:
        if link.node != node.name or link.quality is None:
            continue
        lq, nlq = link.quality
        e = copy.deepcopy(model_link)
        e.update({"localIP": devices[link.ifname].ipv4, "remoteIP": link.remote,
                  "olsrInterface": link.ifname, "ifName": link.ifname,
                  "linkQuality": lq, "neighborLinkQuality": nlq,
                  "linkCost": round(1.0 / (lq * nlq), 3)})
        links.append(e)
    return {"version": t["version"], "plugins": t["plugins"],
            "interfaces": dict(head, interfaces=interfaces),
            "links": dict(head, links=links)}


def olsrd2_answers(node, devices):
    """olsrd2's answers on `node`, from the real devices of the mesh."""
    t = _template("olsrd2")
    mine = devices[node.name]
    model_if = t["nhdpinfo jsonraw interface"]["interface"][0]
    interfaces = []
    for name in list(node.olsrd2) + ["lo"]:
        e = copy.deepcopy(model_if)
        e.update({"if": name, "if_bindto_v4": mine[name].ipv4 or "-", "if_bindto_v6": "-",
                  "if_mac": mine[name].mac})
        interfaces.append(e)
    model_link = t["nhdpinfo jsonraw link"]["link"][0]
    links = []
    for link in LINKS:
        if link.node != node.name or link.vtime is None:
            continue
        peer_node, peer_dev = link.peer
        e = copy.deepcopy(model_link)
        e.update({"if": link.ifname, "link_bindto": mine[link.ifname].ipv4,
                  "link_vtime": link.vtime, "link_mac": devices[peer_node][peer_dev].mac,
                  "neighbor_originator": NODES[peer_node].originator})
        links.append(e)
    return {"systeminfo jsonraw version": t["systeminfo jsonraw version"],
            "olsrv2info jsonraw originator": {"originator": [{"originator": node.originator},
                                                             {"originator": "-"}]},
            "nhdpinfo jsonraw interface": {"interface": interfaces},
            "nhdpinfo jsonraw link": {"link": links}}


def zistad_answer(node, devices):
    """zistad's answer to "get_clients" on `node`: its one real client."""
    client = devices[node.client_ns]["lan0"]
    return {"clients": 1,
            "clientlist": {client.mac: {"ip4": client.ipv4, "ifname": "local-port",
                                        "connected": 600}}}


# ---- helpers run inside a node (python3 mesh.py _NAME ...) ------------------

def _helper_arp_probe(ifname, address, timeout):
    """One ARP request for `address` on `ifname`; prints the sender MAC of
    a reply from that address within `timeout` seconds; exit 1 without."""
    import fcntl
    import socket
    import struct
    eth_p_arp = 0x0806
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(eth_p_arp))
    s.bind((ifname, eth_p_arp))
    own_mac = s.getsockname()[4][:6]
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    req = struct.pack("256s", ifname.encode())
    own_ip = fcntl.ioctl(u.fileno(), 0x8915, req)[20:24]  # SIOCGIFADDR
    target = socket.inet_aton(address)
    frame = (b"\xff" * 6 + own_mac + struct.pack("!H", eth_p_arp) +
             struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + own_mac + own_ip + b"\0" * 6 + target)
    s.send(frame)
    deadline = time.monotonic() + float(timeout)
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            sys.exit(1)
        s.settimeout(left)
        try:
            data = s.recv(1514)
        except socket.timeout:
            sys.exit(1)
        if len(data) >= 42 and data[12:14] == b"\x08\x06" and data[20:22] == b"\x00\x02" \
                and data[28:32] == target:
            print(":".join("%02x" % b for b in data[22:28]))
            return


def _helper_get(*pairs):
    """GETs each PORT TARGET pair on 127.0.0.1; prints a JSON list of
    [status, body], or [null, error text] where the request failed."""
    import http.client
    results = []
    for port, target in zip(pairs[0::2], pairs[1::2]):
        try:
            conn = http.client.HTTPConnection("127.0.0.1", int(port), timeout=5)
            conn.request("GET", target)
            resp = conn.getresponse()
            results.append([resp.status, resp.read().decode()])
            conn.close()
        except OSError as e:
            results.append([None, str(e)])
    print(json.dumps(results))


HELPERS = {"_arp_probe": _helper_arp_probe, "_get": _helper_get}


# ---- command line -------------------------------------------------------------

def _command(args):
    cmd = list(args)
    if cmd and cmd[0] == "--":
        cmd = cmd[1:]
    if not cmd:
        sys.exit("mesh: a command is needed")
    return cmd


def _terminate(signum, frame):
    raise SystemExit(128 + signum)


def main(argv):
    if argv and argv[0] in HELPERS:
        HELPERS[argv[0]](*argv[1:])
        return 0
    ap = argparse.ArgumentParser(prog="mesh.py", description=__doc__.split("\n\n")[0],
                                 usage=__doc__.split("\n\n")[1].rstrip() + "\n",
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 add_help=True)
    ap.add_argument("--build", default=default_build_dir(), help="build tree (default: build/)")
    ap.add_argument("--summary", action="store_true", help="print what the mesh is, first")
    sub = ap.add_subparsers(dest="what", required=True)
    p = sub.add_parser("run")
    p.add_argument("node", choices=sorted(NODES))
    p.add_argument("command", nargs=argparse.REMAINDER)
    p = sub.add_parser("shell")
    p.add_argument("node", nargs="?", default="node1", choices=sorted(NODES))
    p = sub.add_parser("with")
    p.add_argument("command", nargs=argparse.REMAINDER)
    p = sub.add_parser("exec")
    p.add_argument("node", choices=sorted(NODES))
    p.add_argument("command", nargs=argparse.REMAINDER)
    sub.add_parser("describe")
    args = ap.parse_args(argv)
    args.build = os.path.abspath(args.build)  # commands in a node start in "/"

    if args.what == "exec":
        try:
            with open(os.path.join(ROOT, f"{args.node}.holder")) as f:
                holder = int(f.read())
        except OSError:
            sys.exit("mesh: no mesh is up here (use it from within \"with\" or \"shell\")")
        env = Mesh(build_dir=args.build).env()
        os.execvpe("nsenter", enter_command(args.node, holder) + _command(args.command), env)

    if not inside_sandbox():
        if os.geteuid() != 0:
            sys.exit("mesh: needs root (namespaces and mounts)")
        os.execv(SANDBOX, [SANDBOX, sys.executable, os.path.abspath(__file__)] + argv)

    signal.signal(signal.SIGTERM, _terminate)
    signal.signal(signal.SIGHUP, _terminate)
    mesh = Mesh(build_dir=args.build)
    try:
        mesh.up()
        if args.summary:
            print(mesh.summary(), flush=True)
            if args.what == "run":
                print(f"{args.node}# {' '.join(_command(args.command))}\n", flush=True)
        if args.what == "run":
            return mesh.run(args.node, _command(args.command), capture=False, timeout=None).returncode
        # Within "with" and "shell", "mesh.py exec" is on PATH.
        env = mesh.env()
        env["PATH"] = os.path.dirname(os.path.abspath(__file__)) + ":" + env["PATH"]
        if args.what == "with":
            return subprocess.run(_command(args.command), env=env).returncode
        if args.what == "shell":
            env["PS1"] = f"[{args.node}] \\w# "
            print(f"mesh: a shell on {args.node}; \"mesh.py exec NODE -- CMD\" enters "
                  "another node; exit ends the mesh", file=sys.stderr)
            # The shell takes Ctrl-C for itself; the mesh stays up until it exits.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            proc = subprocess.Popen(mesh.enter(args.node) + ["bash", "--norc", "-i"], env=env,
                                    preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
            return proc.wait()
        if args.what == "describe":
            out = {"namespaces": {ns: {name: vars(dev) for name, dev in devs.items()}
                                  for ns, devs in mesh.devices.items()},
                   "answers": mesh.answers}
            print(json.dumps(out, indent=2))
            return 0
    except KeyboardInterrupt:
        return 130
    except RuntimeError as e:
        if not str(e).startswith("mesh:"):
            raise
        print(e, file=sys.stderr)
        return 1
    finally:
        mesh.down()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
