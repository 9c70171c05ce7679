#!/usr/bin/env bash
# The main job: installs what it needs, builds, sets up the simulated
# three-node mesh (scripts/mesh.py; inside a sandbox of namespaces, so it
# needs root), runs dravel on node1 and prints its output, then each of
# the three documents pretty-printed; then "olsr-kavond --check" on node1
# of a fresh mesh, as an operator would run it there.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build" >/dev/null
python3 "$top/scripts/mesh.py" --build "$top/build" --summary run node1 -- dravel |
	python3 "$top/scripts/show-documents.py"

# What an operator runs first when a node looks wrong. Its exit status (1
# when something failed) does not end the demo.
printf '\nnode1# olsr-kavond --check\n'
python3 "$top/scripts/mesh.py" --build "$top/build" run node1 -- olsr-kavond --check || true
