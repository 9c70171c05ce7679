#!/usr/bin/env bash
# build.sh [BUILD_DIR [CMAKE_ARGS...]]: configures (once) and builds.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${1:-$top/build}
shift || true
if [[ ! -f $dir/build.ninja ]]; then
	cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$dir"
