#!/usr/bin/env bash
# Installs the build tools when they are missing (Debian), then builds crv
# (and crvw where GTK 3 is installed) in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
  apt_get update -qq
  apt_get install -y -qq build-essential cmake
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
