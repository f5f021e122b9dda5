# Cross-building the 32-bit Windows programs with mingw-w64 (Debian's
# g++-mingw-w64-i686):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CRV_MINGW_TRIPLET i686-w64-mingw32)
# The win32 thread model needs no threading DLL; the programs are single
# threaded and use no C++ threads.
find_program(CMAKE_CXX_COMPILER NAMES ${CRV_MINGW_TRIPLET}-g++-win32 ${CRV_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${CRV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CRV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
