#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds, and runs every
# test (each in its own sandbox of namespaces; needs root), first in the
# normal build, then in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; then the two router builds under qemu-user
# (scripts/cross.sh): armhf with musl, the end-to-end tests
# (TARVIK_TEST_ARMHF=0 skips), and a firmware root made of it
# (scripts/firmware-root.sh), and big-endian mips, the unit and
# end-to-end tests (TARVIK_TEST_MIPS=0 skips); then runs every libFuzzer
# target for a short while (scripts/fuzz.sh; TARVIK_FUZZ_SECONDS each,
# default 15, 0 skips). Each stage's time is printed at the end.
#   test.sh [CTEST_ARGS...]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
times=()
stage_start=$SECONDS
stage_name=""
# Starts a stage: ends the time of the previous one.
heading() {
	[[ -n $stage_name ]] && times+=("$(printf '%5d s  %s' $((SECONDS - stage_start)) "$stage_name")")
	stage_start=$SECONDS
	stage_name=$*
	printf '\n=== test.sh: %s\n' "$*"
}

heading "Debian packages (scripts/deps.sh)"
"$top/scripts/deps.sh"

heading "normal build (build/)"
"$top/scripts/build.sh" "$top/build"
heading "tests, normal build"
ctest --test-dir "$top/build" --output-on-failure -j "$jobs" "$@"

heading "sanitizer build, AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
"$top/scripts/build.sh" "$top/build-asan" -DTARVIK_SANITIZE=ON -DTARVIK_BUILD_BENCH=OFF
heading "tests, sanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" "$@"

# The router builds under qemu-user.
if [[ ${TARVIK_TEST_ARMHF:-1} == 1 ]]; then
	heading "armhf build with musl (build-armhf/), end-to-end tests under qemu-arm (scripts/cross.sh armhf)"
	"$top/scripts/cross.sh" armhf -- "$@"
	heading "firmware root of the armhf build: the feed package's files, busybox crond, the provider module, --check (scripts/firmware-root.sh)"
	"$top/scripts/firmware-root.sh"
fi
if [[ ${TARVIK_TEST_MIPS:-1} == 1 ]]; then
	heading "big-endian mips build (build-mips/), unit and end-to-end tests under qemu-mips (scripts/cross.sh mips)"
	"$top/scripts/cross.sh" mips -- "$@"
fi

fuzz_seconds=${TARVIK_FUZZ_SECONDS:-15}
if [[ $fuzz_seconds != 0 ]]; then
	heading "fuzz targets, ${fuzz_seconds} s each (build-fuzz/, scripts/fuzz.sh)"
	"$top/scripts/fuzz.sh" "$fuzz_seconds"
fi
heading "all stages passed"
printf '%s\n' "${times[@]}" "$(printf '%5d s  all' "$SECONDS")"
