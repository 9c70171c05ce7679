#!/usr/bin/env bash
# fresh-machine.sh [--separate] [--keep] [--new-base] [--run CMD]... [NAME...]
#
# Runs the README's set-up commands as a new user would, on a bare Debian
# 12 (bookworm) machine: a root made by `mmdebstrap --variant=minbase` from
# the Debian entries of this machine's apt sources, the project's
# committed HEAD cloned into it (/root/tarvik), each command run there
# exactly as the README writes it, as root, with a clean environment
# (PATH, HOME and TERM only) and no standard input. Prints each command's
# exit status and time; exits 1 when any fails.
#
#   NAME        the README commands to run, by script name ("demo",
#               "test"); default: every one, in the README's order
#   --run CMD   run the command line CMD too (in /root/tarvik, as the
#               README's are; repeatable; in the order given)
#   --separate  each command on its own bare machine (default: one
#               machine, the commands one after the other, as a user
#               would run them)
#   --keep      keep the machine's changes (the overlay's upper layer)
#               and say where they are
#   --new-base  make the cached base root anew
#
# The machine. The base root is made once and cached under
# /var/cache/tarvik-fresh-machine/ (about a minute; made again when the
# apt sources change); each machine is an overlay on it whose changes go
# to a directory under /var/tmp, so every run starts from the pristine
# base. Each command runs as PID 1's child in a new mount and PID
# namespace whose root (pivot_root, not chroot: inside a chroot "/" is
# no mount point, and commands that enter another namespace escape it) is
# that overlay, with /proc and /sys mounted afresh, the host's /dev, a
# tmpfs on /run, and the host's resolv.conf; the network is the host's,
# so apt reaches the archive. When a folder shared/ lies beside the
# repository (as CI lays it: the NetJSON schemas the tests validate
# against), it is bound read-only at /root/shared, beside /root/tarvik,
# and the commands get TARVIK_NETJSON_SCHEMAS=/root/shared/netjson, so a
# test that cannot find the schemas there fails. Between two commands the machine is, in
# effect, rebooted: processes and mounts end with the namespaces, files
# stay. Nothing is left mounted on any path: the mounts live only in the
# namespaces, which end with their last process.
#
# Needs root, on a machine or VM where mount and PID namespaces can be
# made. Installs mmdebstrap and git on the host when they are missing.
set -euo pipefail

prog=fresh-machine
cache=/var/cache/tarvik-fresh-machine
suite=bookworm
path_clean=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

say() { echo "$prog: $*"; }
die() { echo "$prog: $*" >&2; exit 2; }

# ---- inside the new namespaces ---------------------------------------
# fresh-machine.sh --inner BASE ROOT UPPER WORK REPO COMMIT BRANCH COMMAND [SHARED]
# PID 1 of the new PID namespace, in the new mount namespace (private):
# mounts the machine, clones the project on the first boot, moves into it
# with pivot_root and runs COMMAND in /root/tarvik.
inner() {
	local base=$1 root=$2 upper=$3 work=$4 repo=$5 commit=$6 branch=$7 command=$8 shared=${9:-}
	local extra=()
	mount -t overlay fresh-machine -o "lowerdir=$base,upperdir=$upper,workdir=$work" "$root"
	if [[ ! -e $root/root/tarvik ]]; then
		# Minbase has no git: the host's clones. A user's clone has the
		# branch checked out; a commit not on any branch is fetched.
		git clone -q --no-hardlinks "$repo" "$root/root/tarvik"
		if ! git -C "$root/root/tarvik" cat-file -e "$commit^{commit}" 2>/dev/null; then
			git -C "$root/root/tarvik" fetch -q "$repo" "$commit"
		fi
		git -C "$root/root/tarvik" checkout -q -B "$branch" "$commit"
		# What an installed machine has: a hosts file that names localhost.
		if [[ ! -e $root/etc/hosts ]]; then
			printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' \
				>"$root/etc/hosts"
		fi
	fi
	# The host's name servers, as DHCP would have set them.
	rm -f "$root/etc/resolv.conf"
	cat /etc/resolv.conf >"$root/etc/resolv.conf"

	mount -t proc proc "$root/proc"
	mount -t sysfs sysfs "$root/sys"
	mount --rbind /dev "$root/dev"
	mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs "$root/run"
	mkdir -m 1777 "$root/run/lock"
	if [[ -n $shared ]]; then
		mkdir -p "$root/root/shared"
		mount --bind -o ro "$shared" "$root/root/shared"
		mount -o remount,bind,ro "$root/root/shared"
		extra=(TARVIK_NETJSON_SCHEMAS=/root/shared/netjson)
	fi
	cd "$root"
	pivot_root . .
	# The old root now lies over the new one, on the same mount point.
	umount -l .
	cd /root/tarvik
	# The host started this in the background, with INT and QUIT ignored:
	# the command gets them back.
	env --default-signal=INT,QUIT -i PATH="$path_clean" HOME=/root TERM="${TERM:-dumb}" \
		"${extra[@]}" /bin/bash -c "$command" </dev/null
}

if [[ ${1:-} == --inner ]]; then
	shift
	inner "$@"; exit $?
fi

# ---- on the host ---------------------------------------------------------
# The set-up commands of README: the "./..." lines of the first indented
# block after the marker line (an HTML comment, unseen in the rendered
# README), without their comments.
readme_marker='<!-- fresh-machine.sh runs the commands of the next block -->'
readme_commands() {
	awk -v marker="$readme_marker" '$0 == marker { inside = 1; next }
		inside && /^    / { block = 1; if (match($0, /^    \.\/[^#]*[^# ]/)) print substr($0, 5, RLENGTH - 4); next }
		inside && block && /[^ ]/ { exit }' "$1"
}

# apt-get install, quietly, waiting for a lock another apt holds.
apt_install() {
	DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=600 \
		install -y --no-install-recommends "$@" >/dev/null
}

# Debian's own stanzas of this machine's apt sources (deb.debian.org);
# other archives configured here are no part of a bare Debian machine.
debian_sources() {
	local file=/etc/apt/sources.list.d/debian.sources
	if [[ -f $file ]]; then
		awk 'BEGIN { RS = ""; ORS = "\n\n" } /URIs:[^\n]*:\/\/deb\.debian\.org\// { print }' "$file"
	elif [[ -f /etc/apt/sources.list ]]; then
		grep -E '^deb .*://deb\.debian\.org/' /etc/apt/sources.list || true
	fi
}

# The exit trap of a run: ends a command still running (with its
# namespaces) and removes the machines, unless --keep. Reads the run's
# state: child, machines, keep, base.
cleanup() {
	local status=$?
	trap - EXIT INT TERM
	if [[ -n $child ]] && kill -0 "$child" 2>/dev/null; then
		# unshare ignores INT and TERM; its death takes the namespaces'
		# PID 1 with it (--kill-child), and every process in them.
		local pid1
		pid1=$(cat "/proc/$child/task/$child/children" 2>/dev/null || true)
		kill -KILL "$child" 2>/dev/null || true
		wait "$child" 2>/dev/null || true
		for p in $pid1; do
			for _ in $(seq 100); do
				[[ -e /proc/$p && $(awk '{ print $3 }' "/proc/$p/stat" 2>/dev/null) != Z ]] || break
				sleep 0.1
			done
		done
	fi
	for m in "${machines[@]}"; do
		if [[ $keep == 1 ]]; then
			say "kept: $m/upper (the machine's changes over $base)"
		else
			rm -rf "$m"
		fi
	done
	exit "$status"
}

# A new machine directory (upper, work and root of the overlay), in
# $machine, remembered in machines for the clean-up.
new_machine() {
	local m
	m=$(mktemp -d /var/tmp/fresh-machine.XXXXXX)
	mkdir "$m/upper" "$m/work" "$m/root"
	machines+=("$m")
	machine=$m
}

# SECONDS as "12s" or "3m04s".
duration() {
	awk -v s="$1" 'BEGIN { s = int(s + 0.5); if (s >= 60) printf "%dm%02ds", s / 60, s % 60; else printf "%ds", s }'
}

# The whole run is this function and those above, all read before it
# starts: the script may change on disk while it runs (a checkout), as a
# run takes a while.
main() {
	separate=0
	keep=0
	new_base=0
	names=()
	while [[ $# -gt 0 ]]; do
		case $1 in
		--separate) separate=1 ;;
		--keep) keep=1 ;;
		--new-base) new_base=1 ;;
		--run) [[ $# -ge 2 ]] || die "--run needs a command"; names+=("=$2"); shift ;;
		-h | --help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
		-*) die "unknown option $1 (see --help)" ;;
		*) names+=("$1") ;;
		esac
		shift
	done
	[[ $(id -u) -eq 0 ]] || die "needs root (namespaces, mounts, mmdebstrap)"

	top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
	self=$top/scripts/fresh-machine.sh
	shared=""
	[[ -d $top/../shared ]] && shared=$(cd "$top/../shared" && pwd)

	mapfile -t all < <(readme_commands "$top/README.md")
	[[ ${#all[@]} -gt 0 ]] || die "no set-up commands after the marker line in README.md: $readme_marker"
	commands=()
	if [[ ${#names[@]} -eq 0 ]]; then
		commands=("${all[@]}")
	else
		for name in "${names[@]}"; do
			if [[ $name == =* ]]; then
				commands+=("${name#=}")
				continue
			fi
			found=""
			for c in "${all[@]}"; do
				script=${c%% *}
				script=${script##*/}
				[[ ${script%.sh} == "$name" ]] && found=$c
			done
			[[ -n $found ]] || die "no README command named \"$name\" (there are: ${all[*]})"
			commands+=("$found")
		done
	fi

	commit=$(git -C "$top" rev-parse HEAD)
	branch=$(git -C "$top" symbolic-ref -q --short HEAD || echo main)
	if [[ -n $(git -C "$top" status --porcelain --untracked-files=no) ]]; then
		say "note: uncommitted changes are not on the fresh machine (it gets ${commit:0:12})"
	fi

	for tool in mmdebstrap git; do
		if ! command -v "$tool" >/dev/null; then
			say "installing $tool"
			apt-get -qq -o DPkg::Lock::Timeout=600 update >/dev/null
			apt_install "$tool"
		fi
	done

	sources=$(debian_sources)
	[[ -n $sources ]] || die "no deb.debian.org entries in this machine's apt sources"
	format=sources
	[[ -f /etc/apt/sources.list.d/debian.sources ]] || format=list
	key=$(printf '%s\n' "$suite minbase" "$sources" | sha256sum | cut -c1-12)
	base=$cache/$suite-minbase-$key

	# Runs share the base (a shared lock on the cache); making one takes the
	# lock for itself.
	mkdir -p "$cache"
	exec 9>"$cache/lock"
	flock -s 9
	if [[ $new_base == 1 || ! -f $base/.complete ]]; then
		flock -u 9
		flock -x 9
	fi
	if [[ $new_base == 1 || ! -f $base/.complete ]]; then
		say "making the base root $base (mmdebstrap --variant=minbase $suite)"
		rm -rf "$base" "$base.new"
		mkdir -p "$base.new"
		printf '%s\n' "$sources" >"$cache/debian.$format"
		log=$cache/mmdebstrap.log
		start=$EPOCHREALTIME
		if ! mmdebstrap --variant=minbase --mode=root "$suite" "$base.new" "$cache/debian.$format" \
			2>&1 | tee "$log" | sed -un 's/^I: /    /p'; then
			tail -n 20 "$log" >&2
			die "mmdebstrap failed (log: $log)"
		fi
		touch "$base.new/.complete"
		mv "$base.new" "$base"
		say "base root made in $(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f s", b - a }')"
		# Bases made from other sources are no longer used.
		for old in "$cache"/"$suite"-minbase-*; do
			[[ $old == "$base" ]] || rm -rf "$old"
		done
	fi
	flock -s 9

	machines=()
	child=""
	trap cleanup EXIT
	trap 'exit 130' INT
	trap 'exit 143' TERM

	results=()
	failed=0
	machine=""
	for i in "${!commands[@]}"; do
		command=${commands[$i]}
		if [[ -z $machine || $separate == 1 ]]; then
			new_machine
			say "a bare Debian 12 machine at $machine/root (${commit:0:12} cloned into /root/tarvik)"
		fi
		say "running \"$command\" in /root/tarvik"
		start=$EPOCHREALTIME
		status=0
		unshare --mount --pid --fork --kill-child --propagation private -- \
			"$self" --inner "$base" "$machine/root" "$machine/upper" "$machine/work" \
			"$top" "$commit" "$branch" "$command" "$shared" &
		child=$!
		wait "$child" || status=$?
		child=""
		took=$(duration "$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')")
		results+=("$(printf '%-20s exit %-3s %s' "$command" "$status" "$took")")
		say "\"$command\" exited with $status after $took"
		[[ $status -eq 0 ]] || failed=1
		if [[ $separate == 1 && $keep == 0 ]]; then
			rm -rf "$machine"
			machines=()
		fi
	done

	echo
	say "on a bare Debian 12 machine:"
	printf '  %s\n' "${results[@]}"
	exit "$failed"
}

main "$@"; exit $?
