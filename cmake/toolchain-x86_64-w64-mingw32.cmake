# Cross-building the same sources as 64-bit Windows programs (Debian's
# g++-mingw-w64-x86-64), for running the Wine tests on hosts that cannot
# execute 32-bit programs; it has the same filter kernels as the 32-bit
# programs:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CRV_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
