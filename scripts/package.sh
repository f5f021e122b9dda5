#!/usr/bin/env bash
# Builds the packages into dist/:
#   crv_<version>_<arch>.deb    the console tool (Debian source package, debian/)
#   crvw_<version>_<arch>.deb   the GTK program and its desktop entries
#   crv-<version>.msi           per-user Windows installer of the 32-bit programs
#   crv-<version>-win32.zip     the 32-bit Windows programs and a readme (CPack ZIP)
# Installs the Debian packages it needs when they are missing (as root, or
# through sudo). The Debian packages are built by dpkg-buildpackage from a
# copy of the checkout in build-deb; the Windows programs come from the cross
# build in build-win32.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

needed=()
for tool in cmake:cmake ninja:ninja-build g++:g++ pkg-config:pkg-config gzip:gzip git:git \
            dpkg-buildpackage:dpkg-dev dh:debhelper wixl:wixl \
            i686-w64-mingw32-g++:g++-mingw-w64-i686; do
  command -v "${tool%%:*}" >/dev/null || needed+=("${tool#*:}")
done
pkg-config --exists gtk+-3.0 2>/dev/null || needed+=(libgtk-3-dev)
# dpkg-buildpackage wants build-essential itself, not only a compiler.
dpkg-query -W -f '${db:Status-Status}' build-essential 2>/dev/null | grep -qx installed ||
  needed+=(build-essential)
if [ ${#needed[@]} -gt 0 ]; then
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${needed[@]}"
fi

jobs=$(nproc)
version=$(project_version)
arch=$(dpkg --print-architecture)
rm -rf dist
mkdir -p dist

# The Debian packages, from the files git knows here (committed or not, and
# not ignored), as a clean clone would give them.
src=build-deb/crv-$version
rm -rf build-deb
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard |
  tar --null --files-from=- --ignore-failed-read -cf - | tar -xf - -C "$src"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$jobs" dpkg-buildpackage -us -uc -b >../build.log 2>&1) ||
  { tail -40 build-deb/build.log >&2; echo "package.sh: dpkg-buildpackage failed (build-deb/build.log)" >&2; exit 1; }
cp "build-deb/crv_${version}_$arch.deb" "build-deb/crvw_${version}_$arch.deb" dist/

configure build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
cmake --build build-win32 -j "$jobs"
# The zip and the installer each strip the programs, and strip stamps a PE
# file with the time it writes it: both take the release's date instead, so
# that they hold the same bytes.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(dpkg-parsechangelog -l debian/changelog -STimestamp)}
(cd build-win32 && cpack -G ZIP -B "$PWD/../dist" >/dev/null)
# CPack's working folders stay out of dist/.
rm -rf dist/_CPack_Packages
packaging/make-msi.sh build-win32 x86 "dist/crv-$version.msi"
ls -l dist/
