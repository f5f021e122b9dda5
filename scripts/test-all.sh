#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test:
# the unit tests (also under AddressSanitizer and UBSan) and the end-to-end
# tests of the built programs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-test-deps.sh

jobs=$(nproc)
# The 32-bit Windows programs, cross-built first: the native build's tests run
# them under Wine.
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
cmake --build build-win32 -j "$jobs"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCRV_WIN32_BUILD_DIR="$PWD/build-win32"
cmake --build build -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCRV_SANITIZE=ON
cmake --build build-asan -j "$jobs" --target crv_unit_tests crv_portable_filter_tests

# The libFuzzer targets (clang), each run for a bounded time by ctest.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER=clang++ -DCRV_FUZZ=ON -DCRV_TESTS=OFF
cmake --build build-fuzz -j "$jobs" \
      --target crv_filter_fuzzer crv_filter_portable_fuzzer crv_command_line_fuzzer

ctest --test-dir build --output-on-failure
ctest --test-dir build-asan --output-on-failure -L unit
ctest --test-dir build-fuzz --output-on-failure -L fuzz

# The Debian package and the Windows zip, built and checked.
scripts/test-packages.sh
