#!/usr/bin/env bash
# Builds and runs the benchmarks inside the sandbox; prints their figures.
#   bench.sh [NAME...]    (default: every bench program and script)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# With curl, the fetch benchmark's yardstick.
"$top/scripts/deps.sh" curl
"$top/scripts/build.sh" "$top/build" >/dev/null
names=("$@")
if [[ ${#names[@]} -eq 0 ]]; then
	for path in "$top"/build/bench/*_bench "$top"/bench/*_bench.py; do
		if [[ -e $path ]]; then names+=("${path##*/}"); fi
	done
fi
# The router builds, for their sizes.
for name in "${names[@]}"; do
	if [[ $name == router_sizes_bench.py ]]; then
		"$top/scripts/cross.sh" armhf --no-test >/dev/null
		"$top/scripts/cross.sh" mips --no-test >/dev/null
	fi
done
for name in "${names[@]}"; do
	echo "== $name"
	if [[ $name == *.py ]]; then
		"$top/tests/sandbox/sandbox" python3 "$top/bench/$name" "$top/build"
	else
		"$top/tests/sandbox/sandbox" "$top/build/bench/$name"
	fi
done
