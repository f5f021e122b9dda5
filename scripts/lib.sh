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

# The version, set once by project(VERSION) in CMakeLists.txt.
project_version() { sed -n 's/^project(crv VERSION \([^ ]*\).*/\1/p' CMakeLists.txt; }

# The release's date in seconds since 1970, from the newest entry of
# debian/changelog (the trailer line " -- name <mail>  date").
release_epoch() {
  date -d "$(sed -n 's/^ -- .*>  //p' debian/changelog | head -n 1)" +%s
}

# Which Windows programs the Wine tests run, in $wine_arch, and why, in $why:
# the 32-bit deliverables where this host executes 32-bit programs, else the
# 64-bit test build (also when CRV_WINE_64 is set and not 0).
choose_wine_arch() {
  if [ -n "${CRV_WINE_64:-}" ] && [ "$CRV_WINE_64" != 0 ]; then
    wine_arch=x86_64 why="forced by CRV_WINE_64=$CRV_WINE_64"
  elif scripts/host-runs-i386.sh; then
    wine_arch=i686 why="this host runs 32-bit programs"
  else
    wine_arch=x86_64 why="this host cannot run 32-bit programs"
  fi
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
