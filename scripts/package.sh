#!/usr/bin/env bash
# Builds the packages into dist/:
#   crv_<version>_<arch>.deb    the console tool (Debian source package, debian/)
#   crvw_<version>_<arch>.deb   the GTK program, its desktop entries and actions
#   crv-<version>.msi           per-user Windows installer of the 32-bit programs
#   crv-<version>-win32.zip     the 32-bit Windows programs and a readme (CPack ZIP)
#
#   scripts/package.sh [crv] [crvw] [windows]
#
# Without arguments it builds the two Debian packages; with arguments, those
# named (windows: the installer and the zip, with the mingw-w64 cross
# compiler and wixl). `scripts/package.sh crv` builds the console package
# alone, with the Debian build profile pkg.crv.nogui: no GTK.
# It installs, when they are missing, the Debian packages that the requested
# artifacts need and no others (as root, or through sudo).
#
# It works in a git checkout and in a source tree without .git (git archive
# output, a tarball): the version comes from CMakeLists.txt and the dates
# from debian/changelog. The Debian packages are built by dpkg-buildpackage
# from a copy of the tree in build-deb; the Windows programs come from the
# cross build in build-win32.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

want_crv= want_crvw= want_windows=
[ $# -gt 0 ] || set -- crv crvw
for artifact do
  case $artifact in
    crv) want_crv=1 ;;
    crvw) want_crvw=1 ;;
    windows) want_windows=1 ;;
    *) echo "usage: scripts/package.sh [crv] [crvw] [windows]" >&2; exit 2 ;;
  esac
done

# What the requested artifacts need: program:package pairs.
tools=(cmake:cmake)
[ -z "$want_crv$want_crvw" ] || tools+=(dpkg-buildpackage:dpkg-dev dh:debhelper)
[ -z "$want_crvw" ] || tools+=(pkg-config:pkg-config)
if [ -n "$want_windows" ]; then
  tools+=(ninja:ninja-build i686-w64-mingw32-g++:g++-mingw-w64-i686 wixl:wixl python3:python3)
fi
needed=()
for tool in "${tools[@]}"; do
  command -v "${tool%%:*}" >/dev/null || needed+=("${tool#*:}")
done
if [ -n "$want_crvw" ] && ! pkg-config --exists gtk+-3.0 2>/dev/null; then
  needed+=(libgtk-3-dev)
fi
# dpkg-buildpackage wants build-essential itself, not only a compiler.
if [ -n "$want_crv$want_crvw" ] &&
   ! dpkg-query -W -f '${db:Status-Status}' build-essential 2>/dev/null | grep -qx installed; then
  needed+=(build-essential)
fi
if [ ${#needed[@]} -gt 0 ]; then
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${needed[@]}"
fi

jobs=$(nproc)
version=$(project_version)
rm -rf dist
mkdir -p dist

if [ -n "$want_crv$want_crvw" ]; then
  # The Debian packages from a copy of the source: in a git checkout the
  # files git knows (committed or not, and not ignored), as a clean clone
  # would give them; elsewhere the tree without build output.
  src=build-deb/crv-$version
  rm -rf build-deb
  mkdir -p "$src"
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
      tar --null --files-from=- --ignore-failed-read -cf - | tar -xf - -C "$src"
  else
    tar --anchored --exclude='./build*' --exclude=./dist --exclude=./out --exclude=./.git \
        --no-anchored --exclude=__pycache__ --exclude='*.swp' -cf - . | tar -xf - -C "$src"
  fi
  profile=()
  [ -n "$want_crvw" ] || profile=(-Ppkg.crv.nogui)
  (cd "$src" && DEB_BUILD_OPTIONS="parallel=$jobs" dpkg-buildpackage -us -uc -b "${profile[@]}" \
     >../build.log 2>&1) ||
    { tail -40 build-deb/build.log >&2; echo "package.sh: dpkg-buildpackage failed (build-deb/build.log)" >&2; exit 1; }
  arch=$(dpkg --print-architecture)
  [ -z "$want_crv" ] || cp "build-deb/crv_${version}_$arch.deb" dist/
  [ -z "$want_crvw" ] || cp "build-deb/crvw_${version}_$arch.deb" dist/
fi

if [ -n "$want_windows" ]; then
  configure build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
  cmake --build build-win32 -j "$jobs"
  # The zip and the installer each strip the programs, and strip stamps a PE
  # file with the time it writes it: both take the release's date instead,
  # so that they hold the same bytes.
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(release_epoch)}
  (cd build-win32 && cpack -G ZIP -B "$PWD/../dist" >/dev/null)
  # CPack's working folders stay out of dist/.
  rm -rf dist/_CPack_Packages
  packaging/make-msi.sh build-win32 x86 "dist/crv-$version.msi"
fi
ls -l dist/
