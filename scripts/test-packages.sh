#!/usr/bin/env bash
# Builds the packages (scripts/package.sh) and checks them:
# tests/package_test.py checks the .deb files (contents, dependencies,
# lintian on them and on the source package, a second build that must give
# the same bytes, man pages, desktop entries, the completions in bash, zsh
# and fish, the pre-commit hooks and, as root, a real install, use and
# purge), the zip and the MSI's tables; tests/msi_test.py installs an MSI
# under Wine, runs its right-click entries and uninstalls it, and upgrades it
# with one of the next version.
#
# The MSI that Wine runs holds programs this host can execute: the 32-bit
# deliverable from dist/ where the host runs 32-bit programs, else one made
# by the same recipe from the 64-bit build in build-win64 (the rule of
# scripts/test-all.sh, CRV_WINE_64 included).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
scripts/package.sh crv crvw windows
python3 tests/package_test.py --dist dist

version=$(project_version)
choose_wine_arch
if [ "$wine_arch" = i686 ]; then
  msi=dist/crv-$version.msi
else
  configure_win64
  cmake --build build-win64 -j "$(nproc)"
  msi=build-win64/crv-$version-x64.msi
  packaging/make-msi.sh build-win64 x64 "$msi"
fi
# The same programs in an installer of the next version, to upgrade with.
next=$(python3 -c 'import sys; major, minor = sys.argv[1].split("."); print("%s.%0*d" % (major, len(minor), int(minor) + 1))' "$version")
upgrade=build-msi-upgrade/crv-$next.msi
mkdir -p build-msi-upgrade
if [ "$wine_arch" = i686 ]; then
  packaging/make-msi.sh build-win32 x86 "$upgrade" "$next"
else
  packaging/make-msi.sh build-win64 x64 "$upgrade" "$next"
fi
echo "MSI under Wine: $msi ($wine_arch programs), upgraded by $upgrade"
python3 tests/msi_test.py --msi "$msi" --arch "$wine_arch" --upgrade "$upgrade"
