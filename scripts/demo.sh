#!/usr/bin/env bash
# The main job: installs what it needs, builds, sets up the simulated
# three-node mesh (scripts/mesh.py; inside a sandbox of namespaces, so it
# needs root) and shows on node1 the whole path of a document
# (scripts/show-documents.py): dravel's output and its three documents,
# the cache files refreshed with olsr-kavond --update as a node's cron
# job does, what the responder gets from the provider table, and what
# "olsr-kavond --check" tells an operator on node1 and on node2 (whose
# dead neighbour it names).
#
# One line per stage while it installs and builds; the package manager's
# and the build's own output goes to build/demo.log, whose path and last
# lines are printed when a stage fails. A long stage says every few
# seconds what it is doing.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$top/build
log=$build/demo.log
mkdir -p "$build"
: >"$log"

# What the last line of the log says is going on, in a few words.
activity() {
	tail -n 1 "$log" | tr -d '\r' | sed -E \
		-e 's/^Get:[0-9]+ .*(InRelease|Release|Packages|Translation).*/updating the package lists/' \
		-e 's/^ .*/working out the packages to install/' \
		-e 's/^Get:[0-9]+ [^ ]+ [^ ]+\/[^ ]+ [^ ]+ ([^ ]+) .*/downloading \1/' \
		-e 's/^(Unpacking|Setting up) ([^ ]+) .*/\L\1\E \2/' \
		-e 's/^Preparing to unpack [^ ]*\/[0-9]+-([^_]+)_.*/unpacking \1/' \
		-e 's/^Selecting previously unselected package (.*)\./unpacking \1/' \
		-e 's/^(\[[0-9]+\/[0-9]+\]) Building [A-Z]+ object .*\/([^/]+)\.o$/\1 compiling \2/' \
		-e 's/^(\[[0-9]+\/[0-9]+\]) Linking [A-Z]+ [a-z ]+ (.*\/)?([^/]+)$/\1 linking \3/' \
		-e 's/^(downloading|unpacking|setting up) ([^: ]+):[a-z0-9]+$/\1 \2/' |
		cut -c1-64
}

# stage TITLE COMMAND...: runs COMMAND with its output in the log; one
# line for the stage, then one every 5 s while it runs.
stage_no=0
ticker=""
trap '[[ -z $ticker ]] || kill "$ticker" 2>/dev/null' EXIT
stage() {
	local title=$1 start=$SECONDS status=0
	shift
	stage_no=$((stage_no + 1))
	echo "demo: [$stage_no/3] $title"
	echo "==== $title: $*" >>"$log"
	(
		while sleep 5; do
			kill -0 $$ 2>/dev/null || exit 0
			echo "      ... $((SECONDS - start)) s: $(activity)"
		done
	) &
	ticker=$!
	"$@" >>"$log" 2>&1 </dev/null || status=$?
	kill "$ticker" 2>/dev/null || true
	wait "$ticker" 2>/dev/null || true
	ticker=""
	if [[ $status -ne 0 ]]; then
		echo "demo: $title failed (exit $status); the end of its output:" >&2
		tail -n 25 "$log" | sed 's/^/    /' >&2
		echo "demo: the whole output is in $log" >&2
		exit 1
	fi
}

stage "Debian packages: installing those the demo needs (the first run takes a minute or two)" \
	"$top/scripts/deps.sh"
# Only what runs on the nodes: dravel, the refresh command, the provider
# module and the stand-in utility library that files devices as wireless.
build_demo() {
	[[ -f $build/build.ninja ]] || cmake -S "$top" -B "$build" -G Ninja
	cmake --build "$build" --target dravel olsr-kavond olsrd_kavond plovanutil_wifi
}
stage "Configuring and building into build/ what the demo runs (cmake, ninja)" build_demo
echo "demo: [3/3] Setting up the simulated mesh and running dravel on node1"
echo
python3 "$top/scripts/mesh.py" --build "$build" --summary with -- \
	python3 "$top/scripts/show-documents.py" --build "$build"
