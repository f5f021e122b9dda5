// Small helpers over POSIX descriptors, shared by the POSIX files of the
// platform seam.
#ifndef CRV_PLATFORM_POSIX_POSIX_IO_H_
#define CRV_PLATFORM_POSIX_POSIX_IO_H_

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace crv {
namespace platform {

// Writes all of [data, data + size), going on after interruptions.
inline bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// On Linux the descriptor is gone even when close() reports EINTR.
inline bool CloseChecked(int fd) { return close(fd) == 0; }

inline int OpenAt(int dir, const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = openat(dir, name.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

inline bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The identity, owner, size and times of `name` in `dir` (of `dir` itself
// with "" and AT_EMPTY_PATH) as the file system has them now: a user-space
// file system may answer a plain stat from a cache that is already stale.
inline bool FreshStat(int dir, const char* name, int flags, struct stat* st) {
  struct statx x;
  if (statx(dir, name, flags | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &x) != 0) return false;
  *st = {};
  st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  st->st_ino = x.stx_ino;
  st->st_mode = x.stx_mode;
  st->st_uid = x.stx_uid;
  st->st_gid = x.stx_gid;
  st->st_size = static_cast<off_t>(x.stx_size);
  st->st_mtim = {static_cast<time_t>(x.stx_mtime.tv_sec), static_cast<long>(x.stx_mtime.tv_nsec)};
  st->st_ctim = {static_cast<time_t>(x.stx_ctime.tv_sec), static_cast<long>(x.stx_ctime.tv_nsec)};
  return true;
}

// The same file, not written to and not changed in any way since `before`.
inline bool Unchanged(const struct stat& now, const struct stat& before) {
  return SameFile(now, before) && now.st_size == before.st_size &&
         now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
}

// The same file with the same contents as `before`: size and modification
// time, which a rename does not touch (it changes the change time).
inline bool SameContents(const struct stat& now, const struct stat& before) {
  return SameFile(now, before) && now.st_size == before.st_size &&
         now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

inline void Pause(long ns) {
  struct timespec pause = {0, ns};
  nanosleep(&pause, nullptr);
}

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_POSIX_POSIX_IO_H_
