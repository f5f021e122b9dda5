#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test:
# the unit tests (also under AddressSanitizer and UBSan), the end-to-end
# tests of the built programs, and the Windows programs under Wine.
#
# The Wine tests run the 32-bit deliverables where this host executes 32-bit
# programs. Where it does not (or with CRV_WINE_64=1 in the environment), they
# run the same sources cross-built as 64-bit Windows programs, with the
# same filter kernels as the 32-bit build, under 64-bit Wine; the 32-bit
# deliverables are still built and their PE headers checked, and the
# filter's and the change scan's unit tests are built for 32-bit x86 Linux
# and run under qemu-i386 on a processor model with AVX2, so that the
# kernels as 32-bit code compiles them are tested. Either way the unit tests
# built for Windows run under Wine too.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
choose_wine_arch
if [ "$wine_arch" = i686 ]; then
  wine_line="Wine tests: 32-bit deliverables crv.exe and crvw.exe ($why)"
else
  wine_line="Wine tests: 64-bit build, crv.exe and crvw.exe for x86_64 ($why)"
fi
echo "$wine_line"

CRV_WINE_ARCH=$wine_arch scripts/install-test-deps.sh

jobs=$(nproc)

# The 32-bit Windows programs, and where the Wine tests need them the 64-bit
# ones, cross-built first with their unit tests: the native build's tests
# use them (CRV_TESTS on again, should a packaging build have turned it off).
configure build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake -DCRV_TESTS=ON
cmake --build build-win32 -j "$jobs"
wine_dir=$PWD/build-win32
if [ "$wine_arch" = x86_64 ]; then
  configure_win64
  cmake --build build-win64 -j "$jobs"
  wine_dir=$PWD/build-win64
  # The kernels as 32-bit code, which the Wine tests do not run then: the
  # filter's unit tests for 32-bit Linux, under qemu-i386 (tests/i386).
  configure build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-linux.cmake -DCRV_TESTS=ON
  cmake --build build-i386 -j "$jobs" --target crv_filter_tests
fi

configure build -DCMAKE_BUILD_TYPE=Release -DCRV_WIN32_BUILD_DIR="$PWD/build-win32" \
          -DCRV_WINE_BUILD_DIR="$wine_dir" -DCRV_WINE_ARCH="$wine_arch"
cmake --build build -j "$jobs"

configure build-asan -DCMAKE_BUILD_TYPE=Debug -DCRV_SANITIZE=ON
cmake --build build-asan -j "$jobs" --target crv_unit_tests crv_portable_filter_tests

# The libFuzzer targets (clang), each run for a bounded time by ctest.
configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_CXX_COMPILER=clang++ -DCRV_FUZZ=ON -DCRV_TESTS=OFF
cmake --build build-fuzz -j "$jobs" \
      --target crv_filter_fuzzer crv_filter_portable_fuzzer crv_command_line_fuzzer

echo "$wine_line"
ctest --test-dir build --output-on-failure
ctest --test-dir build-asan --output-on-failure -L unit
if [ "$wine_arch" = x86_64 ]; then
  ctest --test-dir build-i386 --output-on-failure
fi
ctest --test-dir build-fuzz --output-on-failure -L fuzz
# The Debian package and the Windows zip, built and checked.
scripts/test-packages.sh
echo "$wine_line"
