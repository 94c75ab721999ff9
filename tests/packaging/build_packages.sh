#!/usr/bin/env bash
# Builds the tarball and the Debian package of this build tree into OUT (the fixture of the
# other packaging tests).
#   build_packages.sh CPACK CPACK_CONFIG OUT TARBALL_NAME DEB_NAME
set -euo pipefail
cpack=$1 config=$2 out=$3 tarball=$4 deb=$5

rm -rf "$out"
mkdir -p "$out"
"$cpack" --config "$config" -B "$out"
for file in "$tarball" "$deb"; do
  [ -s "$out/$file" ] || { echo "FAIL: cpack made no $file" >&2; exit 1; }
done
echo "built $tarball and $deb"
