#!/usr/bin/env bash
# Builds the packages into dist/:
#   crv_<version>_amd64.deb   crv, crvw and their files, for Debian (CPack DEB)
#   crv-<version>-win32.zip   the 32-bit Windows programs and a readme (CPack ZIP)
# Installs the Debian packages it needs when they are missing (as root, or
# through sudo). The Linux build for the package is its own, build-deb; the
# Windows programs come from the cross build in build-win32.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

needed=()
for tool in cmake:cmake ninja:ninja-build g++:g++ pkg-config:pkg-config gzip:gzip \
            dpkg-shlibdeps:dpkg-dev i686-w64-mingw32-g++:g++-mingw-w64-i686; do
  command -v "${tool%%:*}" >/dev/null || needed+=("${tool#*:}")
done
pkg-config --exists gtk+-3.0 2>/dev/null || needed+=(libgtk-3-dev)
if [ ${#needed[@]} -gt 0 ]; then
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${needed[@]}"
fi

jobs=$(nproc)
mkdir -p dist

# Debian's hardening flags (what dpkg-buildflags gives a package build), on
# top of the project's Release flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
rm -rf build-deb
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCRV_TESTS=OFF \
      -DCMAKE_INSTALL_PREFIX=/usr -DCRV_DEBIAN_PACKAGE=ON \
      -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build build-deb -j "$jobs"
[ -x build-deb/crvw ] || { echo "package.sh: GTK 3 was not found, so crvw was not built" >&2; exit 1; }
(cd build-deb && cpack -G DEB -B "$PWD/../dist" >/dev/null)

configure build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
cmake --build build-win32 -j "$jobs"
(cd build-win32 && cpack -G ZIP -B "$PWD/../dist" >/dev/null)

# CPack's working folders stay out of dist/: only the two packages are left.
rm -rf dist/_CPack_Packages
ls -l dist/
