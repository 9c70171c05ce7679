#!/usr/bin/env bash
# The source of a Debian package, of the version the archive has, as a
# firmware build system takes it: `apt-get source`, unpacked into DIR.
#   debian-source.sh PACKAGE DIR
# Prints the version. DIR is made anew unless DIR/.version already names
# that version. When none of the machine's apt sources has a deb-src
# entry, one is added for each of its Debian sources, in a file of its own
# beside them (/etc/apt/sources.list.d/tarvik-deb-src.*).
set -euo pipefail
package=$1 dest=$2
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
apt_get() { $sudo apt-get -qq -o DPkg::Lock::Timeout=600 "$@" >&2; }

if ! grep -Eqs '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
	/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
	echo "debian-source: adding deb-src entries (/etc/apt/sources.list.d/tarvik-deb-src.*)" >&2
	lists=() sources=()
	for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
		[[ -f $file ]] && lists+=("$file")
	done
	for file in /etc/apt/sources.list.d/*.sources; do
		[[ -f $file ]] && sources+=("$file")
	done
	if [[ ${#lists[@]} -gt 0 ]]; then
		sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "${lists[@]}" |
			$sudo tee /etc/apt/sources.list.d/tarvik-deb-src.list >/dev/null
	fi
	if [[ ${#sources[@]} -gt 0 ]]; then
		# deb822 stanzas that have "deb" among their types, as deb-src.
		awk 'BEGIN { RS = ""; ORS = "\n\n" }
			/(^|\n)Types:[^\n]*[[:space:]]deb([[:space:]]|\n|$)/ {
				sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' \
			"${sources[@]}" | $sudo tee /etc/apt/sources.list.d/tarvik-deb-src.sources >/dev/null
	fi
	apt_get update
fi

source_version() { apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1; }
version=$(source_version)
if [[ -z $version ]]; then
	# Source entries whose package lists were never fetched.
	apt_get update
	version=$(source_version)
fi
[[ -n $version ]] || { echo "debian-source: apt-cache knows no $package source package" >&2; exit 1; }

if [[ $(cat "$dest/.version" 2>/dev/null) != "$version" ]]; then
	echo "debian-source: $package $version from its source package" >&2
	mkdir -p "$(dirname "$dest")"
	work=$(mktemp -d "$dest.XXXXXX")
	trap 'rm -rf "$work"' EXIT
	# apt fetches as the _apt user where it can write.
	chown _apt "$work" 2>/dev/null || true
	if ! (cd "$work" && apt-get -q source "$package=$version") >"$work.log" 2>&1; then
		cat "$work.log" >&2
		rm -f "$work.log"
		exit 1
	fi
	rm -f "$work.log"
	src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)
	rm -rf "$dest"
	mv "$src" "$dest"
	echo "$version" >"$dest/.version"
fi
echo "$version"
