// Console output where names and texts share one encoding (POSIX, UTF-8):
// the name goes into the text and the bytes are written as they are.
#include "frontend/console_reporter.h"
#include "frontend/messages.h"

namespace crv {

bool WriteConsoleText(const std::string& text, const std::string& file_name) {
  std::string bytes = WithFileName(text, file_name);
  return platform::WriteStdout(bytes.data(), bytes.size());
}

}  // namespace crv
