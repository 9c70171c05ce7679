#!/usr/bin/env bash
# The main job on a simulated node: installs what it needs, builds, and
# runs dravel inside a sandbox of namespaces (needs root) against stand-in
# daemons and real virtual interfaces.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build" >/dev/null
exec "$top/tests/sandbox/sandbox" "$top/scripts/demo-node.sh" "$top/build"
