// POSIX implementation of the platform seam.
// The files are in file_system_posix.cc, path_posix.cc and
// attributes_posix.cc.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"

namespace crv {
namespace platform {

const Conventions& SystemConventions() {
  static const Conventions kConventions = {
      "\n",
      /*slash_always_option=*/false,
      /*answer_ends_at_lf=*/true,
  };
  return kConventions;
}

const char* RawCommandLine() { return nullptr; }

void InitProcess() {
  // A write to a closed pipe is an output failure to report, not a reason to
  // die by a signal.
  signal(SIGPIPE, SIG_IGN);
  // A write beyond the file-size limit (ulimit -f) then fails with EFBIG, a
  // failed conversion that is restored, instead of killing the process with
  // a half-written file under the original name.
  signal(SIGXFSZ, SIG_IGN);
  // A standard descriptor that was closed is filled with /dev/null opened for
  // reading, so that no file the tool opens later can take its number: a
  // message meant for standard output must never land in the user's file.
  // Standard input then reads as empty, and writes to standard output fail.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int null_fd = open("/dev/null", O_RDONLY);
      if (null_fd >= 0 && null_fd != fd) close(null_fd);
    }
  }
}


// ---- Interruption -----------------------------------------------------------

namespace {

volatile sig_atomic_t g_interrupted = 0;
const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kInterruptCount = sizeof kInterruptSignals / sizeof kInterruptSignals[0];
// What each signal's disposition was when the scope began.
struct sigaction g_previous[kInterruptCount];
bool g_previous_known[kInterruptCount];

void RecordInterrupt(int) { g_interrupted = 1; }

}  // namespace

InterruptScope::InterruptScope() {
  g_interrupted = 0;
  struct sigaction sa = {};
  sa.sa_handler = RecordInterrupt;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < kInterruptCount; ++i) {
    int sig = kInterruptSignals[i];
    g_previous_known[i] = sigaction(sig, nullptr, &g_previous[i]) == 0;
    // A signal ignored when the scope begins (nohup, trap '' HUP) is the
    // parent's choice: it stays ignored and never stops the conversion.
    if (g_previous_known[i] && g_previous[i].sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

InterruptScope::~InterruptScope() {
  // The handlers in place before the scope come back, whatever they were.
  for (size_t i = 0; i < kInterruptCount; ++i) {
    if (g_previous_known[i]) sigaction(kInterruptSignals[i], &g_previous[i], nullptr);
  }
}

bool InterruptRequested() { return g_interrupted != 0; }

// ---- Console --------------------------------------------------------------

bool WriteStdout(const char* data, size_t size) {
  return WriteAll(STDOUT_FILENO, data, size);
}

ReadResult ReadStdinByte(char* byte) {
  for (;;) {
    ssize_t n = read(STDIN_FILENO, byte, 1);
    if (n == 1) return ReadResult::kData;
    if (n == 0) return ReadResult::kEnd;
    if (errno != EINTR) return ReadResult::kError;
  }
}

}  // namespace platform
}  // namespace crv
