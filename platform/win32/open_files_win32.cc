#include "platform/win32/open_files_win32.h"

namespace crv {
namespace win32 {

namespace {
// One ReadFile or WriteFile call takes a DWORD count; larger blocks go in
// pieces.
constexpr size_t kMaxIo = 1u << 30;
}  // namespace

bool WriteAll(HANDLE handle, const char* data, size_t size) {
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(size < kMaxIo ? size : kMaxIo);
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool FactsOf(HANDLE handle, FileFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  facts->known = true;
  facts->volume = info.dwVolumeSerialNumber;
  facts->index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  facts->size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  facts->written = static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                   info.ftLastWriteTime.dwLowDateTime;
  facts->attributes = info.dwFileAttributes;
  return true;
}

bool FactsAt(const std::wstring& name, FileFacts* facts) {
  HANDLE handle = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileType(handle) == FILE_TYPE_DISK && FactsOf(handle, facts);
  CloseHandle(handle);
  return ok;
}

bool SetInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, void* info,
                            DWORD size) {
  using SetInformation = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
  static const FARPROC proc = [] {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 ? GetProcAddress(kernel32, "SetFileInformationByHandle") : nullptr;
  }();
  if (!proc) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
  }
  return reinterpret_cast<SetInformation>(reinterpret_cast<void*>(proc))(handle, kind, info,
                                                                          size) != 0;
}

bool DeleteByHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

ReadResult Win32Input::Read(char* buffer, size_t size, size_t* got) {
  DWORD chunk = static_cast<DWORD>(size < kMaxIo ? size : kMaxIo);
  DWORD n = 0;
  // FALSE is a read error; TRUE with no bytes is the end of the file.
  if (!ReadFile(handle_, buffer, chunk, &n, nullptr)) return ReadResult::kError;
  if (n == 0) return ReadResult::kEnd;
  *got = n;
  return ReadResult::kData;
}

}  // namespace win32
}  // namespace crv
