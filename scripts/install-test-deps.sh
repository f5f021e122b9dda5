#!/usr/bin/env bash
# Installs, from Debian's archive, everything the test suite needs. Runs as
# root, or through sudo when started by another user. Safe to run again.
set -euo pipefail
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

packages=(
  # Native build and unit tests.
  build-essential cmake ninja-build googletest libgtest-dev python3
  # End-to-end and robustness tests.
  strace time
  # Fuzzers: clang with libFuzzer and the sanitizers' runtimes.
  clang libclang-rt-14-dev
  # crvw on Linux: GTK 3 to build it; a virtual display, xdotool and a CJK
  # font to test its dialogs.
  pkg-config libgtk-3-dev xvfb xdotool fonts-noto-cjk
  # Windows programs: cross-built with mingw-w64 and run under Wine (32-bit);
  # crvw.exe on the virtual display above, in a Japanese locale, with
  # screenshots taken by imagemagick.
  g++-mingw-w64-i686 wine wine32:i386 locales imagemagick
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" </dev/null

# The packages (scripts/test-packages.sh): CPack's dependency list
# (dpkg-shlibdeps), lintian, the man page and desktop entry checks, bash
# completion, and man -w on the installed package.
packaging=(dpkg-dev lintian mandoc desktop-file-utils bash-completion man-db)
$SUDO apt-get install -y -qq --no-install-recommends "${packaging[@]}" </dev/null

# Wine takes its ANSI code page (932 for the Windows programs' texts) from the
# Japanese locale.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
  $SUDO sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP\.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen
fi
