#!/usr/bin/env bash
# Unpacks Debian source packages into DIR/NAME, each at the version of an
# installed binary package built from it, or, when the archive no longer
# serves that (a security update's sources can be missing from a mirror), at
# the release's own version. apt-get source runs through an apt
# configuration of this script's own, whose deb-src entries repeat the
# system's deb ones: nothing under /etc changes. A package already unpacked
# is kept.
# Usage: scripts/debian-source.sh DIR NAME=BINARY...   (e.g. libzstd=libzstd-dev)
set -euo pipefail
dir=$(realpath -m "$1")
shift
wanted=()
for pair in "$@"; do
  [ -e "$dir/${pair%%=*}/.complete" ] || wanted+=("$pair")
done
[ ${#wanted[@]} -eq 0 ] && exit 0
command -v dpkg-source >/dev/null || { echo "debian-source: dpkg-source missing (Debian package dpkg-dev)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/debian-source.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$dir" "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/sources" "$work/src"

# The system's deb entries as deb-src, in either format.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] && sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$f" >>"$work/apt/sources/src.list"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && grep -q debian "$f" && sed 's/^Types: *deb$/Types: deb-src/' "$f" >"$work/apt/sources/$(basename "$f")"
done
apt=(-o APT::Sandbox::User="$(id -un)" -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/apt/sources"
     -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache")
apt-get "${apt[@]}" update >/dev/null

codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
for pair in "${wanted[@]}"; do
  name=${pair%%=*} binary=${pair#*=}
  version=$(dpkg-query -W -f='${Version}' "$binary:$(dpkg --print-architecture)")
  (
    cd "$work/src"
    if ! apt-get "${apt[@]}" source --download-only "$name=$version" >/dev/null 2>&1; then
      echo "debian-source: $name $version cannot be fetched; taking $codename's" >&2
      apt-get "${apt[@]}" source --download-only "$name/$codename" >/dev/null
    fi
    rm -rf "${dir:?}/$name"
    dpkg-source -x --no-check ./"${name}"_*.dsc "$dir/$name" >/dev/null
  )
  touch "$dir/$name/.complete"
done
