// Small helpers over POSIX descriptors, shared by the POSIX files of the
// platform seam.
#ifndef CRV_PLATFORM_POSIX_POSIX_IO_H_
#define CRV_PLATFORM_POSIX_POSIX_IO_H_

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
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

// The same file, not written to and not changed in any way since `before`.
inline bool Unchanged(const struct stat& now, const struct stat& before) {
  return SameFile(now, before) && now.st_size == before.st_size &&
         now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
}

inline void Pause(long ns) {
  struct timespec pause = {0, ns};
  nanosleep(&pause, nullptr);
}

}  // namespace platform
}  // namespace crv

#endif  // CRV_PLATFORM_POSIX_POSIX_IO_H_
