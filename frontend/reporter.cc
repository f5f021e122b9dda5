#include "frontend/reporter.h"

namespace crv {

namespace {

// CRV_VERSION comes from the build (project(VERSION) in CMakeLists.txt).
const char kUsageHead[] =
    "corvane v" CRV_VERSION "               2000.04.16 brastok";
const char kRule[] = "--------------------------------------------------------";
const char kUsageLine[] = "usage: crv [-d|-c] [-p] <file>";

std::string JoinLines(const char* const* lines, int count, const char* line_break) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += line_break;
    text += lines[i];
  }
  return text;
}

}  // namespace

std::string ConsoleUsageText(const char* line_break) {
  static const char* const kLines[] = {
      kUsageHead,
      kRule,
      kUsageLine,
      "  -d   delete \\r in line feed. (to unix format)",
      "  -c   add \\r in line feed. (to DOS format)  --- default",
      "  -p   message before convert",
  };
  return JoinLines(kLines, 6, line_break);
}

std::string WindowedUsageText() {
  static const char* const kLines[] = {
      kUsageHead,
      kRule,
      kUsageLine,
      "  -d     delete \\r in line feed. (to unix format)",
      "  -c     add \\r in line feed. (to DOS format)  --- default",
      "  -p[-]  message before convert --- default",
  };
  return JoinLines(kLines, 6, "\n");
}

}  // namespace crv
