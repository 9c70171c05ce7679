#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds, and runs every
# test (each in its own sandbox of namespaces; needs root).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build"
ctest --test-dir "$top/build" --output-on-failure -j "$(nproc)" "$@"
