#!/usr/bin/env python3
"""A whole dravel run on node1 of the simulated mesh, against the floor for
that work measured in the same run: one curl process fetching the same
HTTP answers from the same stand-ins, plus the same number of init-script
runs. Prints both, their ratio, dravel's peak RSS, and the stripped sizes
of libtarvik.so and dravel.

    dravel_bench.py [BUILD_DIR]        (re-runs itself inside the sandbox)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
RUNS = 15

# What one dravel run on node1 asks (both daemons enabled and running):
# provider_neighbours and provider_nodeinfo each run `oi` (two init
# scripts), the providers and the driver's raw queries send these.
OLSRD = ["links", "version", "plugins", "interfaces", "interfaces", "version"]
OLSRD2 = ["nhdpinfo jsonraw link", "systeminfo jsonraw version",
          "olsrv2info jsonraw originator", "nhdpinfo jsonraw interface",
          "nhdpinfo jsonraw link"]
INIT_RUNS = ["/etc/init.d/olsrd", "/etc/init.d/olsrd2"] * 2


def urls():
    out = [f"http://127.0.0.1:9090/{urllib.parse.quote(c, safe='')}" for c in OLSRD]
    out += [f"http://127.0.0.1:1980/telnet%2F{urllib.parse.quote(c, safe='')}" for c in OLSRD2]
    return out


def timed(argv_list):
    """Runs the commands one after another; their wall time."""
    start = time.perf_counter()
    for argv in argv_list:
        code = subprocess.call(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if code != 0:
            raise RuntimeError(f"{argv[0]} exited {code}")
    return time.perf_counter() - start


def peak_rss(build, argv):
    """Peak RSS (KiB) of `argv`, measured by the small launcher peak_rss
    (a large parent such as this interpreter would be counted in)."""
    proc = subprocess.run([os.path.join(build, "bench", "peak_rss")] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(proc.stderr.split()[-1])


def on_node(build):
    """Inside node1: the measurements."""
    curl = ["curl", "-s", "--fail"]
    for u in urls():
        curl += ["-o", "/dev/null", u]
    floor = [curl] + [[script, "running"] for script in INIT_RUNS]
    dravel = [["dravel"]]
    timed(dravel)  # warm caches
    timed(floor)
    d_times, f_times = [], []
    for _ in range(RUNS):
        d_times.append(timed(dravel))
        f_times.append(timed(floor))
    peak = max(peak_rss(build, ["dravel"]) for _ in range(3))
    baseline = peak_rss(build, ["true"])
    d, f = statistics.median(d_times), statistics.median(f_times)
    print(f"dravel on node1:        {d * 1000:7.1f} ms (median of {RUNS})")
    print(f"floor (curl of {len(urls())} answers + {len(INIT_RUNS)} init scripts): "
          f"{f * 1000:7.1f} ms")
    print(f"ratio dravel/floor:     {d / f:7.2f} (target <= 1.3)")
    print(f"peak RSS of dravel:     {peak / 1024:7.2f} MiB (target < 2.5 MiB; "
          f"the launcher's floor, /bin/true: {baseline / 1024:.2f} MiB)")


def stripped_size(path, strip="strip"):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stripped")
        subprocess.run([strip, "-o", out, path], check=True)
        return os.path.getsize(out)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--on-node":
        on_node(sys.argv[2])
        return
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build"))
    sys.path.insert(0, os.path.join(TOP, "scripts"))
    import mesh
    if not mesh.inside_sandbox():
        os.execvp(os.path.join(TOP, "tests/sandbox/sandbox"),
                  [os.path.join(TOP, "tests/sandbox/sandbox"), sys.executable,
                   os.path.abspath(__file__), build])
    if shutil.which("curl") is None:
        sys.exit("dravel_bench: needs curl (apt-get install curl)")
    with mesh.Mesh(build) as m:
        proc = m.run("node1", [sys.executable, os.path.abspath(__file__), "--on-node", build],
                     timeout=600)
        sys.stdout.write(proc.stdout)
        if proc.returncode != 0:
            sys.exit(proc.stderr)
    lib = os.path.join(build, "lib", "libtarvik.so")
    exe = os.path.join(build, "debug", "dravel")
    print(f"stripped libtarvik.so:  {stripped_size(os.path.realpath(lib)) / 1024:7.1f} KB "
          "(target < 150 KB)")
    print(f"stripped dravel:        {stripped_size(exe) / 1024:7.1f} KB")
    # The router's figure: the armhf build, when there is one beside this.
    armhf = os.path.join(os.path.dirname(build), "build-armhf", "lib", "libtarvik.so")
    strip = shutil.which("arm-linux-gnueabihf-strip")
    if os.path.exists(armhf) and strip:
        print(f"stripped armhf libtarvik.so: {stripped_size(os.path.realpath(armhf), strip) / 1024:5.1f} KB "
              "(target <= 40 KB)")
    else:
        print("stripped armhf libtarvik.so: no armhf build (scripts/cross.sh armhf makes one)")


if __name__ == "__main__":
    main()
