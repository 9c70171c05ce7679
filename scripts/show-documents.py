#!/usr/bin/env python3
"""Reads dravel's output on standard input, prints it as it came, then each
of the three documents (the provider_nodeinfo, provider_neighbours and
provider_statistics lines) pretty-printed for an 80-column terminal: a
value that fits on its line stays on one line, anything longer opens up.
"""
import json
import sys

DOCUMENTS = ["provider_nodeinfo", "provider_neighbours", "provider_statistics"]
WIDTH = 80


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
    """{label: JSON text} of the driver's "label: ..." lines."""
    found = {}
    for line in text.splitlines():
        label, sep, rest = line.partition(": ")
        if sep and label in DOCUMENTS:
            found[label] = rest
    return found


def main():
    text = sys.stdin.read()
    sys.stdout.write(text)
    found = documents(text)
    for label in DOCUMENTS:
        print(f"== {label} " + "=" * (WIDTH - 4 - len(label)))
        if label not in found:
            print(f"(dravel printed no {label} line)\n")
            continue
        try:
            print(pretty(json.loads(found[label])) + "\n")
        except ValueError:
            print(found[label] + "\n")  # "failed", as dravel printed it
    return 0


if __name__ == "__main__":
    sys.exit(main())
