#!/bin/sh
# Builds the Debian packages of the kivo edge tools (debian/) and checks them
# with lintian, which must report no error and no warning.
#
#   tools/debian_packages.sh [OUTDIR]
#
# The build runs in a copy of the source tree in a temporary folder (what git
# holds, committed or not), so neither ./build nor the tree itself is touched;
# the packages, the .changes and the .buildinfo land in OUTDIR (build-deb).
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$src/build-deb}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kivo-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/kivo" "$out"
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf -) | tar -xf - -C "$work/kivo"

(cd "$work/kivo" && dpkg-buildpackage -b -us -uc -j2 \
    --check-command=lintian --check-option=--fail-on=error,warning)

cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
echo "packages in $out:"
ls "$out"
