"""What a firmware image carries, per router build: the stripped sizes of
libtarvik.so, dravel, olsr-kavond, the provider module and libplovanutil,
and their sum, each stripped with the target's own strip.

    router_sizes_bench.py [BUILD]

The router builds are found beside BUILD (default build/): build-armhf/
and build-mips/, as scripts/cross.sh makes them (scripts/bench.sh builds
them first)."""
import os
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGETS = [("armhf", "musl", "arm-linux-gnueabihf-strip"),
           ("mips", "glibc, big-endian", "mips-linux-gnu-strip")]
FILES = [("libtarvik.so", "lib/libtarvik.so"),
         ("dravel", "debug/dravel"),
         ("olsr-kavond", "providers/olsr-kavond"),
         ("olsrd-kavond.so", "providers/olsrd-kavond.so"),
         ("libplovanutil.so", "standin/libplovanutil.so")]


def stripped_size(strip, path):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stripped")
        subprocess.run([strip, "-o", out, os.path.realpath(path)], check=True)
        return os.path.getsize(out)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build"))
    missing = False
    for target, libc, strip in TARGETS:
        tree = os.path.join(os.path.dirname(build), f"build-{target}")
        if not os.path.isfile(os.path.join(tree, "debug", "dravel")):
            print(f"{target}: no build in {tree} (scripts/cross.sh {target} --no-test)")
            missing = True
            continue
        print(f"{target} ({libc}), stripped:")
        total = 0
        for name, path in FILES:
            size = stripped_size(strip, os.path.join(tree, path))
            total += size
            print(f"  {name:18} {size / 1024:7.1f} KB")
        print(f"  {'sum':18} {total / 1024:7.1f} KB")
    sys.exit(1 if missing else 0)


if __name__ == "__main__":
    main()
