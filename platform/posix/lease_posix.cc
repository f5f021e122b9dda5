#include "platform/posix/lease_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>

#include "platform/posix/posix_io.h"

namespace crv {
namespace platform {

Lease TakeLease(int fd, int type) {
  signal(SIGIO, SIG_IGN);
  long pause_ns = 1000 * 1000;
  for (long waited_ns = 0;;) {
    if (fcntl(fd, F_SETLEASE, type) == 0) return Lease::kHeld;
    if (errno != EAGAIN) return Lease::kNone;
    if (waited_ns >= 500L * 1000 * 1000) return Lease::kRefused;
    Pause(pause_ns);
    waited_ns += pause_ns;
    if (pause_ns < 100L * 1000 * 1000) pause_ns *= 2;
  }
}

bool LeaseIntact(int fd, int type) { return fcntl(fd, F_GETLEASE) == type; }

bool OnlyReadersWait(int fd) {
  int type = fcntl(fd, F_GETLEASE);
  return type == F_WRLCK || type == F_RDLCK;
}

}  // namespace platform
}  // namespace crv
