#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS
# (default 30) from its seed corpus, inside the sandbox. The corpus that a
# run grows is kept under build-fuzz/corpus/, not in the tree. json-c is
# built with the same instrumentation from Debian's source package
# (scripts/debian-source.sh).
#   fuzz.sh [SECONDS [TARGET...]]    TARGET: answers or answers_fuzz, ...
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
shift || true
# With clang and its libFuzzer runtime; dpkg-dev unpacks source packages.
"$top/scripts/deps.sh" clang libclang-rt-14-dev dpkg-dev
build=$top/build-fuzz
say() { printf 'fuzz: %s\n' "$*"; }
# Runs a command with its output in LOG, shown only when it fails.
logged() {
	local log=$1
	shift
	if ! "$@" >"$log" 2>&1; then
		cat "$log" >&2
		say "failed: $* (output above, and in $log)" >&2
		exit 1
	fi
}

# json-c built from Debian's source package with the same
# instrumentation as the targets, so
# that the parser the answers and cache files go through gives the fuzzer
# coverage: one shared library in build-fuzz/json-c/ that every library
# and target of the build links, rebuilt only when the archive's version
# or the flags change.
json_c_version=$("$top/scripts/debian-source.sh" json-c "$build/src/json-c")
json_c=$build/json-c
json_c_flags="-fsanitize=address,undefined,fuzzer-no-link -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
json_c_stamp="$json_c_version shared $json_c_flags"
if [[ $(cat "$json_c/.stamp" 2>/dev/null) != "$json_c_stamp" ]]; then
	say "json-c $json_c_version, instrumented"
	rm -rf "$build/src/json-c-build" "$json_c"
	logged "$build/src/json-c.log" cmake -S "$build/src/json-c" -B "$build/src/json-c-build" \
		-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
		-DCMAKE_C_FLAGS="$json_c_flags" \
		-DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_TESTING=OFF \
		-DDISABLE_WERROR=ON -DDISABLE_EXTRA_LIBS=ON \
		-DCMAKE_INSTALL_PREFIX="$json_c" -DCMAKE_INSTALL_LIBDIR=lib
	logged "$build/src/json-c.log" cmake --build "$build/src/json-c-build" --target install
	echo "$json_c_stamp" >"$json_c/.stamp"
fi
# The build links that json-c (pkg-config finds it through the prefix
# path); a build-fuzz/ configured before against the system's json-c is
# configured anew.
if [[ -f $build/CMakeCache.txt ]] &&
	! grep -qx "pkgcfg_lib_JSONC_json-c:FILEPATH=$json_c/lib/libjson-c.so" "$build/CMakeCache.txt"; then
	rm -f "$build/CMakeCache.txt" "$build/build.ninja"
fi
CC=clang CXX=clang++ "$top/scripts/build.sh" "$build" -DTARVIK_FUZZ=ON \
	-DCMAKE_PREFIX_PATH="$json_c" -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_BENCH=OFF >/dev/null
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
	for path in "$top"/tests/fuzz/*_fuzz.cc; do
		file=${path##*/}
		if [[ -e $path ]]; then targets+=("${file%.cc}"); fi
	done
fi
for target in "${targets[@]}"; do
	name=${target%_fuzz}
	target=${name}_fuzz
	if [[ ! -x $build/tests/fuzz/$target ]]; then
		echo "fuzz.sh: no fuzz target $target (tests/fuzz/${target}.cc)" >&2
		exit 2
	fi
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
		grep -A40 -E '^==[0-9]+==' "$log" | head -60 >&2 || true
		echo "$target: a finding (full log: $log)" >&2
		exit 1
	fi
done
