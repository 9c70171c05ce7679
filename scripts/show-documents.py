#!/usr/bin/env python3
"""The demo's walk through node1, run with the simulated mesh up:

    mesh.py --build DIR with -- show-documents.py --build DIR

1. dravel on node1: its output as it came, then each of its three
   documents (the provider_nodeinfo, provider_neighbours and
   provider_statistics lines) pretty-printed for an 80-column terminal:
   a value that fits on its line stays on one line, anything longer
   opens up.
2. The cache files refreshed on node1 as a node's periodic job does it:
   /usr/bin/olsr-kavond --update NAME for each document (the built
   command, placed at /usr/bin in the sandbox, whose /usr/bin is an
   overlay that vanishes with it).
3. What the responder gets: the built module olsrd-kavond.so loaded on
   node1, each row of its table "kavond_providers" called.
4. The cron lines that keep a node's cache files fresh.
5. olsr-kavond --check, what an operator runs first when a node looks
   wrong: on node1, then on node2, which still lists a dead neighbour
   (and whose cache files nobody refreshed).
6. The same facts in the forms of general monitoring tools, on node1:
   the NetJSON graph collection and device-monitoring object, and the
   Prometheus text that node_exporter's textfile collector serves.

Stops at the first step that fails, saying why; nothing after it is shown.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

DOCUMENTS = ["nodeinfo", "neighbours", "statistics"]
WIDTH = 80
NODE = "node1"
COMMAND = "/usr/bin/olsr-kavond"
MESH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mesh.py")


def pretty(value, indent=0, head=""):
    """`value` as indented JSON lines; `head` is what precedes it on its
    first line (a member name). Leaves room for a trailing comma."""
    pad = " " * indent
    flat = pad + head + json.dumps(value)
    if len(flat) < WIDTH or not isinstance(value, (dict, list)) or not value:
        return flat
    if isinstance(value, dict):
        items = [(json.dumps(k) + ": ", v) for k, v in value.items()]
        opening, closing = "{", "}"
    else:
        items = [("", v) for v in value]
        opening, closing = "[", "]"
    lines = [pad + head + opening]
    for i, (name, member) in enumerate(items):
        lines.append(pretty(member, indent + 2, name) + ("," if i < len(items) - 1 else ""))
    lines.append(pad + closing)
    return "\n".join(lines)


def documents(text):
    """{name: JSON text} of the driver's "provider_NAME: ..." lines."""
    found = {}
    for line in text.splitlines():
        label, sep, rest = line.partition(": ")
        if sep and label.startswith("provider_") and label[len("provider_"):] in DOCUMENTS:
            found[label[len("provider_"):]] = rest
    return found


def heading(text):
    print(f"== {text} " + "=" * max(0, WIDTH - 4 - len(text)), flush=True)


def on_node(argv, timeout=120, node=NODE):
    """Runs `argv` on `node` (through "mesh.py exec"); output captured."""
    return subprocess.run([sys.executable, MESH, "exec", node, "--"] + argv,
                          capture_output=True, text=True, timeout=timeout)


def failed(what, proc):
    print(f"{what} failed (exit {proc.returncode})" +
          (":\n" + proc.stderr.rstrip() if proc.stderr.strip() else ""), flush=True)
    return 1


def show_dravel():
    print(f"{NODE}# dravel\n", flush=True)
    proc = on_node(["dravel"])
    sys.stdout.write(proc.stdout)
    sys.stderr.write(proc.stderr)
    found = documents(proc.stdout)
    if proc.returncode != 0 or not found:
        return failed("dravel", proc)
    for name in DOCUMENTS:
        heading("provider_" + name)
        if name not in found:
            print("(dravel printed no such line)\n")
            continue
        try:
            print(pretty(json.loads(found[name])) + "\n")
        except ValueError:
            print(found[name] + "\n")  # "failed", as dravel printed it
    return 0


def refresh_caches(build):
    heading("refreshing the cache files on " + NODE)
    shutil.copy(os.path.join(build, "providers", "olsr-kavond"), COMMAND)
    print(f"(the built olsr-kavond is {COMMAND} on the simulated nodes)\n")
    for name in DOCUMENTS:
        print(f"{NODE}# {COMMAND} --update {name}", flush=True)
        proc = on_node([COMMAND, "--update", name])
        sys.stdout.write(proc.stdout)
        if proc.returncode != 0:
            return failed(f"olsr-kavond --update {name}", proc)
    print(flush=True)
    files = [f"/tmp/olsrd-kavond-{name}.json" for name in DOCUMENTS]
    print(f"{NODE}# ls -l " + " ".join(files), flush=True)
    proc = on_node(["ls", "-l"] + files)
    sys.stdout.write(proc.stdout + "\n")
    return 0 if proc.returncode == 0 else failed("ls", proc)


def show_table(build):
    heading("what the responder gets from the provider table")
    module = os.path.join(build, "providers", "olsrd-kavond.so")
    print(f"(olsrd-kavond.so loaded on {NODE}: each row of \"kavond_providers\" called)\n")
    proc = on_node([sys.executable, os.path.abspath(__file__), "_table", module])
    if proc.returncode != 0:
        return failed("loading olsrd-kavond.so", proc)
    for row in json.loads(proc.stdout):
        text = row["document"]
        if text is None:
            print(f"{row['name']}: NULL (no document at hand)")
            continue
        line = f"{row['name']}: {text}"
        if len(line) > WIDTH:
            line = line[:WIDTH - 1] + "…"
        print(line)
        print(f"    {len(text)} bytes" +
              (", the document of its cache file" if same(text, cached(row["name"])) else ""))
    print(flush=True)
    return 0


def same(a, b):
    try:
        return b is not None and json.loads(a) == json.loads(b)
    except ValueError:
        return False


def cached(name):
    proc = on_node(["cat", f"/tmp/olsrd-kavond-{name}.json"])
    return proc.stdout if proc.returncode == 0 else None


def show_cron():
    heading("keeping the cache files fresh")
    print("A node refreshes them every minute from its crontab "
          "(crontab -e as root):\n")
    for name in DOCUMENTS:
        print(f"* * * * * {COMMAND} --update {name}")
    print(flush=True)
    return 0


def show_check():
    for node in (NODE, "node2"):
        heading(f"olsr-kavond --check on {node}")
        print(f"{node}# {COMMAND} --check", flush=True)
        start = time.monotonic()
        proc = on_node([COMMAND, "--check"], node=node)
        sys.stdout.write(proc.stdout)
        # Exit status 1 says that something failed: part of what the
        # check reports, not a failure of the demo.
        if proc.returncode not in (0, 1) or not proc.stdout:
            return failed("olsr-kavond --check", proc)
        print(f"(exit status {proc.returncode}, {time.monotonic() - start:.1f} s)\n", flush=True)
    return 0


def show_standard_forms():
    for args in (["--netjson", "graph"], ["--netjson", "monitoring"], ["--prometheus"]):
        heading("olsr-kavond " + " ".join(args))
        print(f"{NODE}# {COMMAND} {' '.join(args)}\n", flush=True)
        proc = on_node([COMMAND] + args)
        if proc.returncode != 0:
            return failed(f"olsr-kavond {' '.join(args)}", proc)
        print((proc.stdout if args[0] == "--prometheus" else pretty(json.loads(proc.stdout))) + "\n",
              flush=True)
    print("A node's crontab keeps node_exporter's textfile directory current with:\n"
          f"* * * * * {COMMAND} --prometheus-textfile /var/lib/prometheus/node-exporter\n", flush=True)
    return 0


def _table(module):
    """Inside the node: loads `module`, calls each row of its provider
    table, prints a JSON list of {"name", "document"} (document: the
    text json-c writes, or null for NULL)."""
    import ctypes
    import ctypes.util
    lib = ctypes.CDLL(module)
    jsonc = ctypes.CDLL(ctypes.util.find_library("json-c") or "libjson-c.so.5")
    jsonc.json_object_to_json_string_ext.restype = ctypes.c_char_p
    jsonc.json_object_to_json_string_ext.argtypes = [ctypes.c_void_p, ctypes.c_int]
    jsonc.json_object_put.argtypes = [ctypes.c_void_p]

    class Row(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("cb", ctypes.CFUNCTYPE(ctypes.c_void_p))]

    rows = ctypes.cast(ctypes.addressof(Row.in_dll(lib, "kavond_providers")),
                       ctypes.POINTER(Row))
    out = []
    i = 0
    while rows[i].name is not None:
        doc = rows[i].cb()
        text = None
        if doc:
            text = jsonc.json_object_to_json_string_ext(doc, 0).decode()  # JSON_C_TO_STRING_PLAIN
            jsonc.json_object_put(doc)
        out.append({"name": rows[i].name.decode(), "document": text})
        i += 1
    print(json.dumps(out))


def main(argv):
    if argv[:1] == ["_table"]:
        _table(argv[1])
        return 0
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", required=True, help="the build tree")
    build = os.path.abspath(ap.parse_args(argv).build)
    if not os.path.isdir("/run/mesh"):
        sys.exit("show-documents: run it with the mesh up (mesh.py with -- show-documents.py)")
    for step in (show_dravel, lambda: refresh_caches(build), lambda: show_table(build),
                 show_cron, show_check, show_standard_forms):
        if step() != 0:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
