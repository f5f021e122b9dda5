# Sourced by the other scripts: running apt-get as root, and configuring a
# build folder.
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

# apt-get as root (or through sudo), with no input; waits for another package
# manager run (an unattended upgrade at boot) rather than failing at once.
apt_get() { $SUDO apt-get -o DPkg::Lock::Timeout=600 "$@" </dev/null; }

# Configures a build folder with Ninja; one configured before (by build.sh,
# with CMake's default generator) keeps its generator, which CMake cannot
# switch.
# The 64-bit Windows test build (where a host cannot run the 32-bit
# programs): the kernels of the 32-bit build, and the unit tests (an older
# folder may still have the portable scan alone, or no tests, configured).
configure_win64() {
  configure build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake \
            -DCRV_PORTABLE_SCAN=OFF -DCRV_TESTS=ON
}

configure() {
  local dir=$1
  shift
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "$@"
  else
    cmake -S . -B "$dir" -G Ninja "$@"
  fi
}
