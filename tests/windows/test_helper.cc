// What the Wine tests do as a Windows program beside crv.exe and crvw.exe:
//
//   crv_test_helper append <file> <stop>
//       Appends lines "L1.", "L2.", ... (CR LF) to <file> by its name, as a
//       command's >> does (opened for each line, sharing reading and
//       writing), until <stop> exists; names on its output each line it
//       wrote, so that a line it could not write (the file was claimed) is
//       not taken for one that went missing.
//   crv_test_helper send <title> endsession|destroy
//       Sends WM_ENDSESSION (the session ends) or WM_DESTROY (the window is
//       destroyed) to the top-level window titled <title> of another
//       process, as the system does: that process did not ask for it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Append(const char* file, const char* stop) {
  for (unsigned n = 1; GetFileAttributesA(stop) == INVALID_FILE_ATTRIBUTES; ++n) {
    HANDLE h = CreateFileA(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      Sleep(1);
      continue;
    }
    std::string line = "L" + std::to_string(n) + ".\r\n";
    DWORD written = 0;
    bool ok = WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
              written == line.size();
    CloseHandle(h);
    if (ok) std::printf("%u\n", n);
  }
  return 0;
}

int Send(const char* title, const char* what) {
  UINT message = std::strcmp(what, "endsession") == 0 ? WM_ENDSESSION
                 : std::strcmp(what, "destroy") == 0  ? WM_DESTROY
                                                      : 0;
  HWND window = FindWindowA(nullptr, title);
  if (message == 0 || window == nullptr) return 2;
  DWORD_PTR result;
  return SendMessageTimeoutA(window, message, message == WM_ENDSESSION, 0, SMTO_NORMAL, 10000,
                             &result)
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "append") == 0) return Append(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "send") == 0) return Send(argv[2], argv[3]);
  std::fprintf(stderr, "usage: crv_test_helper append FILE STOP | send TITLE endsession|destroy\n");
  return 2;
}
