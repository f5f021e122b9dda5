// The Windows files of one run. Names are UTF-8 here and UTF-16 at every
// Windows call (text_win32.h), so any name the system takes works.
//
// Other runs and other programs are kept out by the opens without sharing:
// while this run holds the source or the new file open, nobody else can
// read, write, rename or delete it.
//
// The name never goes missing where the volume has hard links: the original
// gets the backup as a second name, the new file is written under a name of
// its own (the backup's name with ".new") and replaces the original's name
// in one step when it is committed. An opener by the name finds the
// original or the new file at every moment. Where the volume has no hard
// links (FAT), the original is renamed to the backup and the new file made
// under the name, as a plain rename leaves it.
#include <windows.h>

#include <memory>
#include <new>

#include "engine/file_system.h"
#include "platform/platform.h"
#include "platform/win32/attributes_win32.h"
#include "platform/win32/open_files_win32.h"
#include "platform/win32/text_win32.h"

namespace crv {
namespace platform {

namespace {

using win32::FileFacts;
using win32::WideName;

// Whether `name` designates a device rather than a disk file: a reserved
// device name (NUL, CON, COM1, also with a directory or an extension, as in
// nul.txt), which the system turns into \\.\NUL and the like, or a name that
// opens as something other than a disk file (a pipe, \\.\NUL). A name made
// from a device name by appending a suffix is mostly that device again.
bool IsDevice(const std::wstring& name) {
  wchar_t full[MAX_PATH];
  DWORD n = GetFullPathNameW(name.c_str(), MAX_PATH, full, nullptr);
  if (n > 0 && n < MAX_PATH && std::wstring(full, 4) == L"\\\\.\\" &&
      name.compare(0, 2, L"\\\\") != 0) {
    return true;
  }
  // Opened for no access at all: nothing is read, and a device that cannot
  // be opened this way is judged by its name alone.
  HANDLE handle =
      CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool device = GetFileType(handle) != FILE_TYPE_DISK;
  CloseHandle(handle);
  return device;
}

// Whether a failed step may work when tried again shortly: another program
// (a virus scanner, an indexer, a command appending a line) has the file
// open for a moment.
bool Busy() {
  DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

// Runs `step` until it succeeds, or fails other than by Busy, or about a
// second has passed.
template <typename Step>
bool Retried(Step step) {
  for (int attempt = 0;; ++attempt) {
    if (step()) return true;
    if (attempt == 40 || !Busy()) return false;
    Sleep(25);
  }
}

// Deletes the file at `name` while it is the file `expected` (read-only or
// not), by its handle: whatever the name designates meanwhile, only that
// file goes.
bool DeleteIfSame(const std::wstring& name, const FileFacts& expected) {
  HANDLE handle = CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FileFacts found;
  bool same = GetFileType(handle) == FILE_TYPE_DISK && win32::FactsOf(handle, &found) &&
              found.SameFile(expected);
  bool read_only = same && (found.attributes & FILE_ATTRIBUTE_READONLY);
  if (read_only) win32::SetAttributesByHandle(handle, found.attributes & ~FILE_ATTRIBUTE_READONLY);
  bool deleted = same && win32::DeleteByHandle(handle);
  if (read_only && !deleted) win32::SetAttributesByHandle(handle, found.attributes);
  CloseHandle(handle);
  // Without deletion by handle, the name goes right after the comparison.
  return deleted || (same && DeleteFileW(name.c_str()) != 0);
}

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

  bool MoveAside(const std::string& name, const std::string& backup) override {
    std::wstring from = WideName(name), to = WideName(backup);
    // A device at `backup` (a backup name formed from a device name) is
    // refused, so the search for a free backup name ends there instead of
    // trying every number.
    if (IsDevice(to) || !win32::FactsAt(from, &original_)) return false;
    name_ = name;
    backup_ = backup;
    // A second name never replaces one that is taken.
    if (CreateHardLinkW(to.c_str(), from.c_str(), nullptr)) {
      linked_ = true;
      return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return false;
    // No hard links here (FAT, many network shares), or none more for this
    // file: the plain rename, which fails when `backup` exists.
    return MoveFileW(from.c_str(), to.c_str()) != 0;
  }

  bool PutBack(const std::string& name, const std::string& backup) override {
    std::wstring at_name = WideName(name), at_backup = WideName(backup);
    if (!linked_) {
      // Only the output this run created is deleted; the rename back never
      // replaces, so when the name is still taken the original stays in the
      // backup. A rename keeps the file's attributes.
      if (created_.known) DeleteIfSame(at_name, created_);
      return !IsDevice(at_name) && MoveFileW(at_backup.c_str(), at_name.c_str()) != 0;
    }
    FileFacts found;
    if (!committed_) {
      // The name still holds the original: the run's output and the second
      // name go, and the original has its attributes again.
      if (created_.known) DeleteIfSame(WideName(new_name_), created_);
      if (!win32::FactsAt(at_name, &found) || !found.SameFile(original_)) return false;
      // A second name that cannot go stays beside the original, which is
      // back in any case.
      Retried([&] { return DeleteIfSame(at_backup, original_); });
      win32::SetAttributesAt(at_name, original_.attributes);
      return true;
    }
    // The new file has the name and the original only the backup's: the
    // original takes the name back in one step, over the new file, while
    // nobody has written to that since. Otherwise both stay as they are.
    if (!win32::FactsAt(at_name, &found) || !found.SameContents(committed_facts_)) return false;
    if (!win32::WithoutReadOnly(at_name, [&] {
          return Retried([&] {
            return MoveFileExW(at_backup.c_str(), at_name.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
          });
        })) {
      return false;
    }
    win32::SetAttributesAt(at_name, original_.attributes);
    return true;
  }

  // A backup that is read-only (the original was) loses that attribute just
  // before it is deleted, and has it again if it stays.
  bool Remove(const std::string& name) override {
    std::wstring path = WideName(name);
    return win32::WithoutReadOnly(path, [&] {
      return Retried([&] { return DeleteFileW(path.c_str()) != 0; });
    });
  }

  std::unique_ptr<InputFile> OpenForReading(const std::string& name) override {
    // The source of the copy, when it is the original under its second
    // name, shares deletion alone: nobody else can read or write it, and
    // the new file can replace its other name while it is open, where
    // Windows allows that.
    DWORD share = linked_ && name == backup_ ? FILE_SHARE_DELETE : 0;
    HANDLE handle = CreateFileW(WideName(name).c_str(), GENERIC_READ, share, nullptr,
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
    if (GetFileSizeEx(handle, &size)) in.reset(new (std::nothrow) win32::Win32Input(handle, &read_));
    if (!in) {
      CloseHandle(handle);
      return nullptr;
    }
    read_ = 0;
    size_ = static_cast<uint64_t>(size.QuadPart);
    return in;
  }

  std::unique_ptr<OutputFile> Create(const std::string& name, const InputFile& like) override {
    // The source is this object's own, opened by OpenForReading.
    auto& source = const_cast<win32::Win32Input&>(static_cast<const win32::Win32Input&>(like));
    // The new file has the access list (DACL) of `like` from the moment it
    // exists: on NTFS a file made with the defaults would take the folder's
    // inheritable rights instead, which may open it to more people. Only a
    // volume that keeps no access rights (FAT) gives none to copy.
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    std::unique_ptr<char[]> descriptor;
    DWORD size = 0;
    if (!GetKernelObjectSecurity(source.handle(), DACL_SECURITY_INFORMATION, nullptr, 0, &size)) {
      DWORD error = GetLastError();
      if (error == ERROR_INSUFFICIENT_BUFFER) {
        descriptor.reset(new (std::nothrow) char[size]);
        if (!descriptor || !GetKernelObjectSecurity(source.handle(), DACL_SECURITY_INFORMATION,
                                                    descriptor.get(), size, &size)) {
          return nullptr;
        }
        security.lpSecurityDescriptor = descriptor.get();
      } else if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
        return nullptr;
      }
    }
    // Where the original keeps the name, the new file is made beside it and
    // takes the name at Commit. CREATE_NEW: a file already there belongs to
    // someone else, and the conversion fails rather than write into it or
    // through a link planted there.
    std::string path = linked_ ? backup_ + ".new" : name;
    HANDLE handle = CreateFileW(WideName(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                /*dwShareMode=*/0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // Without its identity the restore cannot tell this file from one put
    // in its place, so it leaves the name alone; the original stays in the
    // backup.
    if (!win32::FactsOf(handle, &created_)) {
      CloseHandle(handle);
      return nullptr;
    }
    new_name_ = path;
    source_facts_ = source.facts();
    std::function<bool(HANDLE*)> take_name;
    if (linked_) take_name = [this, &source](HANDLE* file) { return TakeName(file, &source); };
    std::unique_ptr<OutputFile> out(new (std::nothrow) win32::Win32Output(
        handle, original_.attributes & win32::kKeptAttributes, std::move(take_name)));
    if (!out) CloseHandle(handle);
    return out;
  }

  bool Settled(const std::string& name, const std::string& backup) override {
    // Without the second name nobody could open the source or the new file
    // while they were open. With it, the source was closed just before the
    // new file took the name (an open file cannot lose a name to another),
    // so a program may have opened and written it by its name in between.
    if (!linked_) return true;
    FileFacts at_name, at_backup;
    return win32::FactsAt(WideName(name), &at_name) && at_name.SameFile(created_) &&
           win32::FactsAt(WideName(backup), &at_backup) && at_backup.SameContents(source_facts_);
  }

  bool InterruptRequested() override {
    return platform::InterruptRequested() || (observer_ && observer_->Cancelled(read_, size_));
  }

 private:
  // The committed new file, open as `*file`, replaces the original's name in
  // one step, by its handle, with the source still open where Windows
  // allows that (POSIX semantics, Windows 10 and later on NTFS), so that
  // nobody can open the original in between. Elsewhere Windows replaces no
  // file that is open, so the source is closed just before, and Settled
  // then finds whether anyone wrote to it in that moment.
  bool TakeName(HANDLE* file, win32::Win32Input* source) {
    std::wstring target = WideName(name_);
    FileFacts found;
    // Only the original is replaced, never a file put in its place.
    if (!win32::FactsAt(target, &found) || !found.SameFile(original_)) return false;
    std::wstring from = WideName(new_name_);
    auto by_name = [&] {
      return MoveFileExW(from.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    };
    // A read-only original refuses to be replaced: it loses the attribute
    // (which the new file has taken over) first, and gets it back if the
    // new file cannot take the name.
    bool moved = win32::WithoutReadOnly(target, [&] {
      if (RenameOverByHandle(*file, target, /*posix=*/true) ||
          RenameOverByHandle(*file, target, /*posix=*/false)) {
        return true;
      }
      // One attempt right after the source is closed, in one call: a
      // program that opens the original in between keeps it from being
      // replaced, and the run fails with the original, and what that
      // program wrote, under the name.
      source->Close();
      if (RenameOverByHandle(*file, target, /*posix=*/false)) return true;
      if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
      // Before Vista: by name, once the new file is closed.
      CloseHandle(*file);
      *file = INVALID_HANDLE_VALUE;
      return by_name();
    });
    if (!moved) return false;
    committed_ = true;
    win32::FactsAt(target, &committed_facts_);
    return true;
  }

  // Gives the open file `handle` the name `target`, replacing the file
  // there: with `posix`, even while that is open, where Windows knows how
  // (Windows 10 and later on NTFS). The call takes the system's own form of
  // a full path (\??\C:\dir\file).
  static bool RenameOverByHandle(HANDLE handle, const std::wstring& target, bool posix) {
    constexpr int kFileRenameInfoEx = 22;
    constexpr DWORD kReplaceIfExists = 0x1, kPosixSemantics = 0x2;
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(target.c_str(), MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return false;
    std::wstring path = full;
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
      path = L"\\??\\" + path.substr(4);
    } else if (path.compare(0, 2, L"\\\\") == 0) {
      path = L"\\??\\UNC\\" + path.substr(2);
    } else {
      path = L"\\??\\" + path;
    }
    // FILE_RENAME_INFO, whose first member is ReplaceIfExists or, for
    // FileRenameInfoEx, the flags.
    struct RenameInfo {
      DWORD flags;
      HANDLE root;
      DWORD length;
      wchar_t name[MAX_PATH + 8];
    } info = {kReplaceIfExists | (posix ? kPosixSemantics : 0), nullptr, 0, {}};
    info.length = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    path.copy(info.name, path.size());
    auto kind = posix ? static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileRenameInfoEx) : FileRenameInfo;
    return win32::SetInformationByHandle(handle, kind, &info, sizeof info);
  }

  std::string name_;       // The name the run converts.
  std::string backup_;     // The original's backup name.
  std::string new_name_;   // Where Create made the new file.
  bool linked_ = false;    // The backup is a second name of the original.
  bool committed_ = false;  // The new file took the name from the original.
  FileFacts original_;     // The original, when it was moved aside.
  FileFacts source_facts_;  // The source as it was opened for the copy.
  FileFacts created_;      // The file Create made.
  FileFacts committed_facts_;  // The new file once it had the name.
  ProgressObserver* observer_;
  uint64_t read_ = 0;  // Of the file last opened for reading, of its size_.
  uint64_t size_ = 0;
};

}  // namespace

bool FileIsPresent(const std::string& name) {
  // The name is matched literally (no wildcards) and the answer never
  // depends on the file's timestamps. A device is not a file.
  std::wstring wide = WideName(name);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !IsDevice(wide);
}

std::unique_ptr<FileSystem> NewFileSystem(ProgressObserver* observer) {
  return std::unique_ptr<FileSystem>(new (std::nothrow) Win32FileSystem(observer));
}

}  // namespace platform
}  // namespace crv
