// Console output on Windows. The texts are code page 932 and names UTF-8:
// on a console both are shown as characters through WriteConsoleW, the same
// on every system code page. Redirected to a file or a pipe, the output
// keeps the bytes scripts compare: the texts as they are and the name in
// the system's ANSI code page, or in UTF-8 where it does not fit there.
#include <windows.h>

#include <string>

#include "frontend/console_reporter.h"
#include "frontend/messages.h"
#include "platform/win32/text_win32.h"

namespace crv {

bool WriteConsoleText(const std::string& text, const std::string& file_name) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
    std::string bytes = WithFileName(text, win32::NameInAnsiCodePage(file_name));
    return platform::WriteStdout(bytes.data(), bytes.size());
  }
  std::wstring wide = win32::WideMessage(text, file_name);
  const wchar_t* data = wide.data();
  size_t size = wide.size();
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(size < 8192 ? size : 8192);
    DWORD written = 0;
    if (!WriteConsoleW(out, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace crv
