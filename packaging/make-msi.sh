#!/usr/bin/env bash
# Builds the Windows installer from packaging/crv.wxs with wixl:
#   make-msi.sh <folder with crv.exe, crvw.exe, README.txt> <x86|x64> <output.msi>
# scripts/package.sh makes crv-<version>.msi from the 32-bit programs; the
# installer test makes one from the programs Wine runs on its host.
set -euo pipefail
cd "$(dirname "$0")/.."
bin_dir=$1 arch=$2 out=$3
version=$(sed -n 's/^project(crv VERSION \([^ ]*\).*/\1/p' CMakeLists.txt)
# A product code of its own per version and architecture, the same on every
# build.
product_code=$(python3 -c 'import sys, uuid
print(uuid.uuid5(uuid.UUID("62ba6c4e-50b0-4c80-bb7a-03fd74f634e8"), sys.argv[1]))' "$version-$arch")
wixl -a "$arch" -D Version="$version" -D ProductCode="$product_code" -D BinDir="$bin_dir" \
     -o "$out" packaging/crv.wxs
