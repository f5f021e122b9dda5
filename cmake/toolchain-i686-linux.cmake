# 32-bit x86 Linux programs from an x86-64 Debian host, with the host's
# compiler in -m32 mode (Debian's g++-multilib), for the unit tests of the
# filter kernels as 32-bit code compiles them (tests/i386):
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-linux.cmake
# ctest runs the tests under qemu-i386 (Debian's qemu-user) emulating
# CRV_QEMU_CPU, so that they run also where the host cannot execute 32-bit
# programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
find_program(CMAKE_CXX_COMPILER NAMES g++ REQUIRED)
# C only for GoogleTest's project.
find_program(CMAKE_C_COMPILER NAMES gcc)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
# The host's 64-bit libraries are no use here (pkg-config would offer GTK).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig)

# A model with AVX2 and no AVX-512: every kernel below AVX-512 runs.
set(CRV_QEMU_CPU Haswell CACHE STRING "The processor model qemu-i386 emulates for the 32-bit tests")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -cpu ${CRV_QEMU_CPU})
