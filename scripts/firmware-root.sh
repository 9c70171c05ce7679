#!/usr/bin/env bash
# firmware-root.sh [--build-dir DIR]
#
# Builds a minimal 32-bit ARM firmware root from the musl armhf build (DIR,
# default build-armhf/, made by `scripts/cross.sh armhf`) and shows that
# the feed package (packaging/openwrt/) works in it. Needs root.
#
# 1. packaging/openwrt/files.list is what `cmake --install DIR` stages
#    (tests/packaging/files_list.py).
# 2. The root, under DIR and removed at the end: Debian's busybox-static
#    for armhf (/bin/busybox and its applets as links: sh, ash, crond...),
#    musl's loader and libc, json-c from DIR/sysroot, root's passwd line
#    and home (crond runs jobs as a user it looks up), the packages
#    libtarvik, olsr-kavond and dravel installed by files.list, stripped
#    as the build system strips them, and the stand-in libplovanutil in
#    the place of the firmware's own. Nothing else.
# 3. The sizes: bytes of the packages' installed files, and of them as a
#    .tar.gz (what the packages hold); more than 100 KB installed fails.
# 4. In the sandbox (tests/sandbox/sandbox), a node as the end-to-end tests
#    make one: mesh0 with a neighbour, stand-in daemons on 127.0.0.1 and
#    zistad at /var/run/zistad.sock, outside the root (/var/run is bound
#    into it). In a chroot of the root: the uci-defaults script under
#    busybox ash, twice, adds the three refresh lines to a crontab that
#    holds another line and restarts cron (a stand-in /etc/init.d/cron
#    that starts busybox crond); crond refreshes the three cache files
#    within 75 s; tests/packaging/load_providers, which loads the provider
#    module as the responder does, gets the documents that dravel prints;
#    `olsr-kavond --check` exits 0. Every command has a time limit.
#
# The root's armhf programs run through the binfmt_misc handler that
# Debian's qemu-user-static registers (/proc/sys/fs/binfmt_misc/qemu-arm,
# interpreter /usr/libexec/qemu-binfmt/arm-binfmt-P, flag F: opened when
# registered, so it works inside the chroot), from the definition
# /usr/share/binfmts/qemu-arm (binfmt-support) or, under systemd,
# /usr/lib/binfmt.d/qemu-arm.conf. It and binfmt-support are
# installed through scripts/deps.sh; qemu-user, which cross.sh runs with
# -L, stays installed beside it (the two do not conflict).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
list=$top/packaging/openwrt/files.list
say() { printf 'firmware-root: %s\n' "$*"; }
die() { say "$*" >&2; exit 1; }

# Runs COMMAND in the root, with a plain environment, for at most SECONDS:
# in_root SECONDS COMMAND...
in_root() { timeout "$1" chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "${@:2}"; }

# Step 4, inside the sandbox: firmware-root.sh --inner ROOT DIR.
inner() {
	root=$1 dir=$2
	mount -t proc proc "$root/proc"
	mount --bind /sys "$root/sys"
	mount --bind /dev/null "$root/dev/null"
	mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
	mount --bind /run "$root/var/run"
	cp "$dir/tests/load_providers" "$root/tmp/"

	# The node's configuration and cron's init script (OpenWrt's starts
	# crond with /etc/crontabs).
	mkdir -p "$root/etc/plovan" "$root/etc/init.d" "$root/etc/crontabs"
	echo '{"mesh":{"olsrd":{"v1_4":{"enable":true},"v2":{"enable":true}}}}' >"$root/etc/plovan/site.json"
	printf '#!/bin/sh\nexit 0\n' >"$root/etc/init.d/olsrd"
	printf '#!/bin/sh\nexit 0\n' >"$root/etc/init.d/olsrd2"
	printf '#!/bin/sh\n[ "$1" = restart ] || exit 1\nkillall -q crond\nexec crond -c /etc/crontabs -L /tmp/crond.log\n' \
		>"$root/etc/init.d/cron"
	chmod 755 "$root"/etc/init.d/*
	# mesh0 and its neighbour (as tests/e2e/harness.py mesh0_with_peer).
	ip netns add peer
	ip link add dev mesh0 type veth peer name peer0
	ip link set dev peer0 netns peer
	ip link set dev mesh0 address 02:00:00:00:01:01
	ip -n peer link set dev peer0 address 02:00:00:00:01:02
	ip addr add 192.0.2.1/24 dev mesh0
	ip -n peer addr add 192.0.2.2/24 dev peer0
	ip link set dev mesh0 up
	ip -n peer link set dev peer0 up
	ip neigh replace 192.0.2.2 lladdr 02:00:00:00:01:02 dev mesh0 nud permanent
	# The stand-ins, with the answers of harness.one_neighbour_answers.
	PYTHONPATH=$top/tests/e2e PYTHONDONTWRITEBYTECODE=1 python3 -c '
import json, harness
for name, answers in zip(("olsrd", "olsrd2"), harness.one_neighbour_answers()):
    json.dump(answers, open(f"/run/{name}.json", "w"))'
	python3 "$top/standin/olsr_standin.py" --port 9090 --answers /run/olsrd.json --ready /run/olsrd.ready &
	python3 "$top/standin/olsr_standin.py" --port 1980 --telnet --answers /run/olsrd2.json --ready /run/olsrd2.ready &
	python3 "$top/standin/zistad.py" --socket /var/run/zistad.sock --ready /run/zistad.ready &
	timeout 10 sh -c 'until [ -e /run/olsrd.ready ] && [ -e /run/olsrd2.ready ] && [ -e /run/zistad.ready ]; do sleep 0.1; done' ||
		die "the stand-in daemons did not start"

	# The uci-defaults script, twice: the three lines once, the other line
	# and the comment (its last line without a newline) kept.
	crontab=$root/etc/crontabs/root
	printf '0 3 * * * /usr/bin/other-job\n# kept' >"$crontab"
	started=$SECONDS
	in_root 30 /bin/ash /etc/uci-defaults/90-olsr-kavond || die "the uci-defaults script failed"
	in_root 30 /bin/ash /etc/uci-defaults/90-olsr-kavond || die "the uci-defaults script failed, run again"
	expected=$(printf '0 3 * * * /usr/bin/other-job\n# kept\n'; for name in nodeinfo neighbours statistics; do
		echo "* * * * * /usr/bin/olsr-kavond --update $name"; done)
	diff <(echo "$expected") "$crontab" >&2 || die "root's crontab is not as expected (diff above: expected, crontab)"
	say "uci-defaults (busybox ash): root's crontab holds the three refresh lines once, the other lines kept"

	# crond, started by the script's cron restart, refreshes the three.
	caches=("$root"/tmp/olsrd-kavond-{nodeinfo,neighbours,statistics}.json)
	until [[ -s ${caches[0]} && -s ${caches[1]} && -s ${caches[2]} ]]; do
		if ((SECONDS - started > 75)); then
			cat "$root/tmp/crond.log" >&2 2>/dev/null || true
			die "crond did not refresh the three cache files within 75 s (crond's log above)"
		fi
		sleep 1
	done
	say "busybox crond refreshed the three cache files $((SECONDS - started)) s after its start"

	# The documents as the responder gets them, and as dravel prints them.
	loaded=$(in_root 60 /tmp/load_providers /usr/lib/kavond/olsrd-kavond.so | grep '^provider_' | sort) ||
		die "load_providers failed"
	printed=$(in_root 60 /usr/bin/dravel | grep '^provider_' | sort) || die "dravel failed"
	[[ $(grep -c '^provider_[a-z]*: {' <<<"$loaded") == 3 ]] ||
		die "the provider module gave not three documents:"$'\n'"$loaded"
	diff <(echo "$printed") <(echo "$loaded") >&2 ||
		die "the provider module's documents differ from dravel's (diff above: dravel, module)"
	say "the provider module, loaded by dlopen, gives the three documents that dravel prints"

	in_root 60 /usr/bin/olsr-kavond --check || die "olsr-kavond --check failed"
	say "olsr-kavond --check: exit 0"
}

if [[ ${1:-} == --inner ]]; then
	inner "$2" "$3"
	exit 0
fi

dir=$top/build-armhf
case ${1:-} in
--build-dir) dir=$(realpath -m "$2") ;;
"") ;;
*) echo "usage: firmware-root.sh [--build-dir DIR]" >&2; exit 2 ;;
esac
[[ $(id -u) -eq 0 ]] || die "needs root (sandbox, chroot)"
[[ -x $dir/tests/load_providers ]] || die "no armhf build in $dir: run scripts/cross.sh armhf"

# Debian's packages: qemu-user-static's handlers, registered by
# binfmt-support. Where no service ran at installation (a container
# without an init system), binfmt-support's own update-binfmts enables
# Debian's definition, as its service does at boot.
"$top/scripts/deps.sh" qemu-user-static binfmt-support
handler=/proc/sys/fs/binfmt_misc/qemu-arm
[[ -e $handler ]] || update-binfmts --enable qemu-arm
grep -qx enabled "$handler" && grep -q '^flags: .*F' "$handler" ||
	die "$handler is not enabled with the F flag"
say "armhf programs run through $handler ($(sed -n 's/^interpreter //p' "$handler"), $(grep '^flags' "$handler"))"
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
	dpkg --add-architecture armhf
	apt-get -qq update
fi
debs=$dir/firmware-debs
if ! compgen -G "$debs/busybox-static_*_armhf.deb" >/dev/null; then
	mkdir -p "$debs"
	chown _apt "$debs" 2>/dev/null || true
	(cd "$debs" && apt-get -q download busybox-static:armhf)
fi

python3 "$top/tests/packaging/files_list.py" "$dir"

work=$(mktemp -d "$dir/firmware-root.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
root=$work/root stage=$work/stage
DESTDIR=$stage cmake --install "$dir" --prefix /usr --strip >/dev/null
mkdir -p "$root"/{bin,sbin,lib,usr/bin,usr/sbin,usr/lib,etc,root,proc,sys,dev,tmp,var/run}
dpkg-deb --fsys-tarfile "$(compgen -G "$debs/busybox-static_*_armhf.deb" | tail -n 1)" |
	tar -x -C "$root" ./bin/busybox
for applet in $(timeout 30 chroot "$root" /bin/busybox --list-full); do
	[[ -e $root/$applet ]] || ln -s /bin/busybox "$root/$applet"
done
cp -L /lib/ld-musl-armhf.so.1 "$root/lib/libc.so"
ln -s libc.so "$root/lib/ld-musl-armhf.so.1"
cp -a "$dir"/sysroot/usr/lib/libjson-c.so.5* "$root/usr/lib/"
echo 'root:x:0:0:root:/root:/bin/ash' >"$root/etc/passwd"
touch "$root/dev/null"

# The packages' files by files.list, from files/ or the stage.
packaged=()
for pkg in libtarvik olsr-kavond dravel standin; do
	for path in $(sed -n "s/^$pkg[[:space:]][[:space:]]*//p" "$list"); do
		src=$top/packaging/openwrt/files$path
		[[ -e $src ]] || src=$stage$path
		mkdir -p "$root${path%/*}"
		cp -a "$src" "$root$path"
		[[ $pkg == standin ]] || packaged+=("${path#/}")
	done
done
installed=$(cd "$root" && find "${packaged[@]}" -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
packed=$(tar -C "$root" -czf - "${packaged[@]}" | wc -c)
say "libtarvik, olsr-kavond, dravel on armhf: $installed bytes installed, $packed bytes as .tar.gz"
((installed <= 100 * 1024)) || die "the packages' files exceed 100 KB"

"$top/tests/sandbox/sandbox" --keep "$dir" "$0" --inner "$root" "$dir"
say "passed"
