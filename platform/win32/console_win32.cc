// The console of crv.exe: standard output and standard input as bytes. The
// front end shows its texts on a console through the wide functions
// (frontend/console_output_win32.cc).
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/open_files_win32.h"

namespace crv {
namespace platform {

// ---- Console --------------------------------------------------------------

bool WriteStdout(const char* data, size_t size) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  return win32::WriteAll(out, data, size);
}

ReadResult ReadStdinByte(char* byte) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  // A process started without standard input reads it as empty.
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return ReadResult::kEnd;
  DWORD n = 0;
  if (!ReadFile(in, byte, 1, &n, nullptr)) {
    // The writer of a pipe closed its end: that is the end of input.
    DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? ReadResult::kEnd
                                                                   : ReadResult::kError;
  }
  return n == 1 ? ReadResult::kData : ReadResult::kEnd;
}

}  // namespace platform
}  // namespace crv
