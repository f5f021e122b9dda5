// Win32 implementation of the platform seam (32-bit Windows, ANSI API).
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>

#include "engine/file_system.h"
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

// Whether `name` designates a device rather than a disk file: a reserved
// device name (NUL, CON, COM1, also with a directory or an extension, as in
// nul.txt), which the system turns into \\.\NUL and the like, or a name that
// opens as something other than a disk file (a pipe, \\.\NUL). A name made
// from a device name by appending a suffix is mostly that device again.
bool IsDevice(const std::string& name) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
  if (n > 0 && n < sizeof full && std::strncmp(full, "\\\\.\\", 4) == 0 &&
      name.compare(0, 2, "\\\\") != 0) {
    return true;
  }
  // Opened for no access at all: nothing is read, and a device that cannot
  // be opened this way is judged by its name alone.
  HANDLE handle =
      CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool device = GetFileType(handle) != FILE_TYPE_DISK;
  CloseHandle(handle);
  return device;
}

// A file's identity: its volume's serial number and its index on the volume.
struct FileIdentity {
  bool known = false;
  uint64_t volume = 0;
  uint64_t index = 0;
};

bool IdentityOf(HANDLE handle, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  identity->known = true;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

// Marks the file open as `handle` for deletion, so that exactly that file
// goes, whatever its name designates meanwhile. Looked up at run time:
// Windows before Vista lacks the call.
bool DeleteByHandle(HANDLE handle) {
  using SetInformation = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  FARPROC proc = kernel32 ? GetProcAddress(kernel32, "SetFileInformationByHandle") : nullptr;
  if (!proc) return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return reinterpret_cast<SetInformation>(reinterpret_cast<void*>(proc))(
             handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}


class Win32Input : public InputFile {
 public:
  // `read` counts the bytes read.
  Win32Input(HANDLE handle, uint64_t* read) : handle_(handle), read_(read) {}
  ~Win32Input() override { CloseHandle(handle_); }

  ReadResult Read(char* buffer, size_t size, size_t* got) override {
    DWORD chunk = static_cast<DWORD>(size < kMaxIo ? size : kMaxIo);
    DWORD n = 0;
    // FALSE is a read error; TRUE with no bytes is the end of the file.
    if (!ReadFile(handle_, buffer, chunk, &n, nullptr)) return ReadResult::kError;
    if (n == 0) return ReadResult::kEnd;
    *got = n;
    *read_ += n;
    return ReadResult::kData;
  }
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
  uint64_t* read_;
};

class Win32Output : public OutputFile {
 public:
  explicit Win32Output(HANDLE handle) : handle_(handle) {}
  ~Win32Output() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  bool Write(const char* data, size_t size) override { return WriteAll(handle_, data, size); }

  bool Commit() override {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    bool ok = FlushFileBuffers(handle) != 0;
    return (CloseHandle(handle) != 0) && ok;
  }

 private:
  HANDLE handle_;
};

// Every step takes the whole name. Other runs are kept out by the opens
// without sharing: while this run holds the source or the new file open, a
// second run can neither rename nor open it.
class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(ProgressObserver* observer) : observer_(observer) {}

  bool Locate(const std::string& name, std::string* target) override {
    // The name is opened as given, as it always was here.
    *target = name;
    return true;
  }
  bool IsPresent(const std::string& name) override { return FileIsPresent(name); }
  bool Claim(const std::string&) override { return true; }
  // The opens without sharing keep writers out for the run's length.
  bool ExcludeWriters() override { return true; }
  bool ClaimedElsewhere(const std::string&) override { return false; }

  bool RenameNoReplace(const std::string& from, const std::string& to) override {
    // MoveFileA fails when `to` exists. A device at `to` (a backup name
    // formed from a device name) is refused too, so the search for a free
    // backup name ends there instead of trying every number.
    return !IsDevice(to) && MoveFileA(from.c_str(), to.c_str()) != 0;
  }

  bool Remove(const std::string& name) override { return DeleteFileA(name.c_str()) != 0; }

  bool RemoveCreated(const std::string& name) override {
    if (!created_.known) return false;
    // Opened without following a link at the name, and without letting
    // anyone else delete or rename it while it is compared.
    HANDLE handle = CreateFileA(name.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FileIdentity found;
    bool same = GetFileType(handle) == FILE_TYPE_DISK && IdentityOf(handle, &found) &&
                found.volume == created_.volume && found.index == created_.index;
    bool deleted = same && DeleteByHandle(handle);
    CloseHandle(handle);
    // Without deletion by handle, the name goes right after the comparison.
    return deleted || (same && DeleteFileA(name.c_str()) != 0);
  }

  std::unique_ptr<InputFile> OpenForReading(const std::string& name) override {
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ, /*dwShareMode=*/0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // Only a disk file is read: a device name (CON, COM1, a pipe) would wait
    // for input that may never come.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      CloseHandle(handle);
      return nullptr;
    }
    LARGE_INTEGER size;
    std::unique_ptr<InputFile> in;
    if (GetFileSizeEx(handle, &size)) in.reset(new (std::nothrow) Win32Input(handle, &read_));
    if (!in) {
      CloseHandle(handle);
      return nullptr;
    }
    read_ = 0;
    size_ = static_cast<uint64_t>(size.QuadPart);
    return in;
  }

  std::unique_ptr<OutputFile> Create(const std::string& name, const InputFile& like) override {
    // The new file has the default attributes (read-only, hidden and the
    // like are not carried over), but the access list (DACL) of `like`,
    // from the moment it exists: on NTFS a file made with the defaults would
    // take the folder's inheritable rights instead, which may open it to
    // more people. Only a volume that keeps no access rights (FAT) gives
    // none to copy.
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    std::unique_ptr<char[]> descriptor;
    DWORD size = 0;
    HANDLE source = static_cast<const Win32Input&>(like).handle();
    if (!GetKernelObjectSecurity(source, DACL_SECURITY_INFORMATION, nullptr, 0, &size)) {
      DWORD error = GetLastError();
      if (error == ERROR_INSUFFICIENT_BUFFER) {
        descriptor.reset(new (std::nothrow) char[size]);
        if (!descriptor || !GetKernelObjectSecurity(source, DACL_SECURITY_INFORMATION,
                                                    descriptor.get(), size, &size)) {
          return nullptr;
        }
        security.lpSecurityDescriptor = descriptor.get();
      } else if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
        return nullptr;
      }
    }
    // CREATE_NEW: the name was emptied by this run's rename to the backup,
    // so a file there now belongs to someone else, and the conversion fails
    // rather than write into it or through a link planted there.
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                                &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    std::unique_ptr<OutputFile> out(new (std::nothrow) Win32Output(handle));
    if (!out) {
      CloseHandle(handle);
      return nullptr;
    }
    // Without its identity the restore cannot tell this file from one put
    // in its place, so it leaves the name alone; the original stays in the
    // backup.
    if (!IdentityOf(handle, &created_)) return nullptr;
    return out;
  }

  // Nobody else could open the source or the new file while they were open.
  bool Settled(const std::string&, const std::string&) override { return true; }

  bool InterruptRequested() override {
    return platform::InterruptRequested() || (observer_ && observer_->Cancelled(read_, size_));
  }

 private:
  FileIdentity created_;  // The file Create made.
  ProgressObserver* observer_;
  uint64_t read_ = 0;  // Of the file last opened for reading, of its size_.
  uint64_t size_ = 0;
};

}  // namespace

bool FileIsPresent(const std::string& name) {
  // The name is matched literally (no wildcards) and the answer never
  // depends on the file's timestamps. A device is not a file.
  DWORD attributes = GetFileAttributesA(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !IsDevice(name);
}

std::unique_ptr<FileSystem> NewFileSystem(ProgressObserver* observer) {
  return std::unique_ptr<FileSystem>(new (std::nothrow) Win32FileSystem(observer));
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
