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
configure() {
  local dir=$1
  shift
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "$@"
  else
    cmake -S . -B "$dir" -G Ninja "$@"
  fi
}
