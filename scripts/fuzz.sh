#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS
# (default 30) from its seed corpus, inside the sandbox. The corpus that a
# run grows is kept under build-fuzz/corpus/, not in the tree.
#   fuzz.sh [SECONDS [TARGET...]]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
shift || true
# With clang and its libFuzzer runtime.
"$top/scripts/deps.sh" clang libclang-rt-14-dev
build=$top/build-fuzz
CC=clang CXX=clang++ "$top/scripts/build.sh" "$build" -DTARVIK_FUZZ=ON \
	-DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_BENCH=OFF >/dev/null
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
	for path in "$top"/tests/fuzz/*_fuzz.cc; do
		file=${path##*/}
		if [[ -e $path ]]; then targets+=("${file%.cc}"); fi
	done
fi
for target in "${targets[@]}"; do
	name=${target%_fuzz}
	corpus=$build/corpus/$name
	mkdir -p "$corpus"
	echo "== $target (${seconds}s)"
	log=$build/$target.log
	status=0
	"$top/tests/sandbox/sandbox" --keep "$build" "$build/tests/fuzz/$target" \
		-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/" \
		"$corpus" "$top/tests/fuzz/corpus/$name" >"$log" 2>&1 || status=$?
	grep -E '^stat::number_of_executed_units' "$log" || true
	if [[ $status -ne 0 ]]; then
		grep -A40 -E '^==[0-9]+==' "$log" | head -60 >&2
		echo "$target: a finding (full log: $log)" >&2
		exit 1
	fi
done
