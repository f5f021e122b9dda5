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
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" </dev/null
