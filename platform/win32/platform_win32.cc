// Win32 implementation of the platform seam (32-bit Windows, ANSI API).
#include <windows.h>

#include "platform/platform.h"

namespace crv {
namespace platform {

const Conventions& SystemConventions() {
  static const Conventions kConventions = {
      "\r\n",
      /*slash_always_option=*/true,
      /*answer_ends_at_lf=*/false,
  };
  return kConventions;
}

const char* RawCommandLine() { return GetCommandLineA(); }

void InitProcess() {
  // A drive without a medium makes a failed open, not a system box that
  // waits for the user.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

// ---- Files ----------------------------------------------------------------

namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

// INVALID_HANDLE_VALUE is -1, the members' "no file" value.
bool IsOpen(intptr_t handle) { return AsHandle(handle) != INVALID_HANDLE_VALUE; }

// One WriteFile call takes a DWORD count; larger blocks go in pieces.
constexpr size_t kMaxIo = 1u << 30;

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

}  // namespace

bool FileIsPresent(const std::string& name) {
  // The name is matched literally (no wildcards) and the answer never
  // depends on the file's timestamps.
  DWORD attributes = GetFileAttributesA(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  // MoveFileA fails when `to` exists.
  return MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool RemoveFile(const std::string& name) { return DeleteFileA(name.c_str()) != 0; }

bool FinalTarget(const std::string& name, std::string* target) {
  // The name is opened as given, as it always was here.
  *target = name;
  return true;
}

bool RemoveCreatedFile(const std::string& name, const FileIdentity& created) {
  // The partial output is deleted whenever the name is present, as it always
  // was here.
  (void)created;
  return FileIsPresent(name) && RemoveFile(name);
}

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const std::string& name) {
  Close();
  HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ, /*dwShareMode=*/0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // Only a disk file is read: a device name (CON, COM1, a pipe) would wait
  // for input that may never come.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return false;
  }
  handle_ = FromHandle(handle);
  return true;
}

ReadResult InputFile::Read(char* buffer, size_t size, size_t* got) {
  DWORD chunk = static_cast<DWORD>(size < kMaxIo ? size : kMaxIo);
  DWORD n = 0;
  // FALSE is a read error; TRUE with no bytes is the end of the file.
  if (!ReadFile(AsHandle(handle_), buffer, chunk, &n, nullptr)) return ReadResult::kError;
  if (n == 0) return ReadResult::kEnd;
  *got = n;
  return ReadResult::kData;
}

void InputFile::Close() {
  if (IsOpen(handle_)) CloseHandle(AsHandle(handle_));
  handle_ = FromHandle(INVALID_HANDLE_VALUE);
}

OutputFile::~OutputFile() {
  if (IsOpen(handle_)) CloseHandle(AsHandle(handle_));
}

bool OutputFile::Create(const std::string& name, const InputFile& like) {
  // A new file with the default attributes; nothing is taken from `like`.
  (void)like;
  HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  handle_ = FromHandle(handle);
  name_ = name;
  return true;
}

bool OutputFile::Write(const char* data, size_t size) {
  return WriteAll(AsHandle(handle_), data, size);
}

bool OutputFile::Commit() {
  HANDLE handle = AsHandle(handle_);
  handle_ = FromHandle(INVALID_HANDLE_VALUE);
  bool ok = FlushFileBuffers(handle) != 0;
  return (CloseHandle(handle) != 0) && ok;
}

// ---- Interruption -----------------------------------------------------------
//
// The handler is installed once and stays: removing it from inside a scope's
// destructor could wait on the lock the system holds while a handler runs.
// Outside a scope it declines every event, which keeps the default effect.

namespace {

volatile LONG g_scope_active = 0;
volatile LONG g_interrupted = 0;
// Signalled while no scope lives. A console close, logoff or shutdown ends
// the process as soon as the handler returns, so the handler waits here
// until the conversion has stopped and the file is restored.
HANDLE g_scope_ended = nullptr;

BOOL WINAPI RecordInterrupt(DWORD event) {
  if (InterlockedCompareExchange(&g_scope_active, 0, 0) == 0) return FALSE;
  InterlockedExchange(&g_interrupted, 1);
  switch (event) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      WaitForSingleObject(g_scope_ended, INFINITE);
      break;
    default:
      break;
  }
  return TRUE;
}

}  // namespace

InterruptScope::InterruptScope() {
  static bool installed = false;
  if (!installed) {
    g_scope_ended = CreateEventA(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/TRUE, nullptr);
    installed = g_scope_ended != nullptr && SetConsoleCtrlHandler(RecordInterrupt, TRUE);
  }
  InterlockedExchange(&g_interrupted, 0);
  if (g_scope_ended) ResetEvent(g_scope_ended);
  InterlockedExchange(&g_scope_active, 1);
}

InterruptScope::~InterruptScope() {
  InterlockedExchange(&g_scope_active, 0);
  if (g_scope_ended) SetEvent(g_scope_ended);
}

bool InterruptRequested() { return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0; }

// ---- Console --------------------------------------------------------------

bool WriteStdout(const char* data, size_t size) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  return WriteAll(out, data, size);
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
