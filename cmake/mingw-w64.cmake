# The part of the mingw-w64 toolchain files that does not depend on the
# target: the including file sets CMAKE_SYSTEM_PROCESSOR and
# CRV_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)

# The win32 thread model needs no threading DLL; the programs are single
# threaded and use no C++ threads.
find_program(CMAKE_CXX_COMPILER NAMES ${CRV_MINGW_TRIPLET}-g++-win32 ${CRV_MINGW_TRIPLET}-g++
             REQUIRED)
# C only for GoogleTest's project (the Windows unit tests).
find_program(CMAKE_C_COMPILER NAMES ${CRV_MINGW_TRIPLET}-gcc-win32 ${CRV_MINGW_TRIPLET}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${CRV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CRV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
