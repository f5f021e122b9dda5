#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test:
# the unit tests (also under AddressSanitizer and UBSan) and the end-to-end
# tests of the built programs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-test-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCRV_SANITIZE=ON
cmake --build build-asan -j "$jobs" --target crv_unit_tests

ctest --test-dir build --output-on-failure
ctest --test-dir build-asan --output-on-failure -L unit
