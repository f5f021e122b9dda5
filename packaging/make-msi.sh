#!/usr/bin/env bash
# Builds the Windows installer from packaging/crv.wxs with wixl:
#   make-msi.sh <Windows build folder> <x86|x64> <output.msi>
# It holds what the build installs, stripped as in the zip: crv.exe,
# crvw.exe and README.txt. scripts/package.sh makes crv-<version>.msi from
# the 32-bit build; the installer test makes one from the build Wine runs on
# its host.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build=$1 arch=$2 out=$3
version=$(project_version)
files=$build/msi-files
rm -rf "$files"
cmake --install "$build" --prefix "$files" --strip >/dev/null
# A product code of its own per version and architecture, the same on every
# build.
product_code=$(python3 -c 'import sys, uuid
print(uuid.uuid5(uuid.UUID("62ba6c4e-50b0-4c80-bb7a-03fd74f634e8"), sys.argv[1]))' "$version-$arch")
wixl -a "$arch" -D Version="$version" -D ProductCode="$product_code" -D BinDir="$files" \
     -o "$out" packaging/crv.wxs
