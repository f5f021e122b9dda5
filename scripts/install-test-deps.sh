#!/usr/bin/env bash
# Installs, from Debian's archive, everything the test suite needs. Runs as
# root, or through sudo when started by another user. Safe to run again.
#
# CRV_WINE_ARCH says which Windows programs the Wine tests run: i686 (the
# 32-bit deliverables, under 32-bit Wine from the i386 architecture) or
# x86_64 (a 64-bit build under 64-bit Wine, for hosts that cannot execute
# 32-bit programs; i386 is then not added). scripts/test-all.sh decides it;
# unset, this host decides.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
wine_arch=${CRV_WINE_ARCH:-}
if [ -z "$wine_arch" ]; then
  if scripts/host-runs-i386.sh; then wine_arch=i686; else wine_arch=x86_64; fi
fi

packages=(
  # Native build and unit tests; googletest's sources also build the unit
  # tests for Windows.
  build-essential cmake ninja-build googletest libgtest-dev python3
  # End-to-end and robustness tests; getfacl and setfacl for the ACL cases,
  # bindfs for a user-space file system.
  strace time acl bindfs
  # Fuzzers: clang with libFuzzer and the sanitizers' runtimes.
  clang libclang-rt-14-dev
  # crvw on Linux: GTK 3 to build it; a virtual display, xdotool and a CJK
  # font to test its dialogs, and the Japanese font the crvw package
  # recommends, which draws its texts beside DejaVu alone.
  pkg-config libgtk-3-dev xvfb xdotool fonts-noto-cjk fonts-ipaexfont-gothic
  # Windows programs: the 32-bit deliverables cross-built with mingw-w64 on
  # every host and run under Wine; crvw.exe on the virtual display above, in
  # a Japanese locale, with screenshots taken by imagemagick.
  g++-mingw-w64-i686 wine locales imagemagick
)
case $wine_arch in
  i686) packages+=(wine32:i386) ;;
  # The 64-bit Windows build under Wine; the filter's unit tests built for
  # 32-bit x86 Linux and run under qemu-i386 instead.
  x86_64) packages+=(g++-mingw-w64-x86-64 wine64 g++-multilib qemu-user) ;;
  *) echo "CRV_WINE_ARCH must be i686 or x86_64, not $wine_arch" >&2; exit 2 ;;
esac

if [ "$wine_arch" = i686 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${packages[@]}"

# The packages (scripts/test-packages.sh): the Debian source package's build
# (dpkg-buildpackage with debhelper), the Windows installer (wixl; msiinfo
# from msitools lists it), lintian, the man page and desktop entry checks,
# the completions in bash, zsh and fish, the pre-commit hooks, man -w on
# the installed package, which application gio and xdg-mime pick for text
# files, kbuildsycoca5 (Plasma 5's service registry, about 50 MB with
# the Qt and Frameworks libraries it needs) for the Dolphin service menu,
# python3-nautilus, which loads the GNOME Files extension as Nautilus does,
# and caja-actions, whose runner reads and runs Caja's actions.
packaging=(dpkg-dev debhelper wixl msitools lintian mandoc desktop-file-utils
           bash-completion zsh fish pre-commit man-db libglib2.0-bin xdg-utils
           libkf5service-bin python3-nautilus caja-actions)
apt_get install -y -qq --no-install-recommends "${packaging[@]}"

# Wine takes its ANSI code page (932 for the Windows programs' texts) from the
# Japanese locale.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
  $SUDO sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP\.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen
fi
