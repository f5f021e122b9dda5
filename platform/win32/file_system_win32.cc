// The Windows files of one run. Names are UTF-8 here and UTF-16 at every
// Windows call (text_win32.h), so any name the system takes works.
//
// Other runs and other programs are kept out by the opens without sharing:
// while this run holds the original or the new file open, nobody else can
// read or write it.
//
// The name never goes missing and holds the original until the complete new
// file replaces it in one step: the original gets the backup as a second
// name (a hard link), and the new file is written under a name of its own,
// `<backup>.new`. An opener by the name finds the original or the new file
// at every moment.
#include <windows.h>

#include <functional>
#include <memory>
#include <new>

#include "engine/file_system.h"
#include "platform/platform.h"
#include "platform/win32/attributes_win32.h"
#include "platform/win32/file_system_win32.h"
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
// file goes. With `unchanged`, only while its contents are as `expected`
// says too; it is then held without sharing writes from the comparison to
// the deletion, so nobody can write to it in between. Without it (a second
// name of a file that keeps another), a program may have the file open for
// writing.
bool DeleteIfSame(const std::wstring& name, const FileFacts& expected, bool unchanged) {
  DWORD share = unchanged ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE handle = CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              share, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FileFacts found;
  bool same = GetFileType(handle) == FILE_TYPE_DISK && win32::FactsOf(handle, &found) &&
              (unchanged ? found.SameContents(expected) : found.SameFile(expected));
  bool read_only = same && (found.attributes & FILE_ATTRIBUTE_READONLY);
  if (read_only) win32::SetAttributesByHandle(handle, found.attributes & ~FILE_ATTRIBUTE_READONLY);
  bool deleted = same && win32::DeleteByHandle(handle);
  if (read_only && !deleted) win32::SetAttributesByHandle(handle, found.attributes);
  CloseHandle(handle);
  // Not the expected file: no error that a retry could cure.
  if (!same) SetLastError(ERROR_FILE_INVALID);
  // Without deletion by handle (before Vista), the name goes right after the
  // comparison.
  return deleted || (same && DeleteFileW(name.c_str()) != 0);
}

// Whether CreateHardLinkW failed because the volume (FAT, many network
// shares) or the file (at its maximum of names) takes no more hard links.
bool NoHardLinks(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_TOO_MANY_LINKS || error == ERROR_CALL_NOT_IMPLEMENTED;
}

const win32::TakeNameMoments* g_moments = nullptr;

// Runs a test's action at one of TakeName's moments, when one is set.
void AtMoment(std::function<void()> win32::TakeNameMoments::*moment) {
  if (g_moments && g_moments->*moment) (g_moments->*moment)();
}

// A run's files on Windows, in the order engine/file_system.h gives:
//
// Claim opens the file for reading, sharing deletion alone, and keeps it
// open: no other run (whose scan and claim open it too) and no other program
// can read or write it from then on, and one that has it open now makes the
// claim fail. The copy reads through this handle, and CreateNew takes the
// new file's access list from it. Sharing deletion lets the new file replace
// the name while the original is open, where Windows allows that; another
// program may then delete or rename the original too, which the checks of
// TakeName and Discard find.
//
// The backup is a hard link to the original; the new file is made at
// `<backup>.new` without sharing and replaces the name in one step. Where
// the volume has no hard links (FAT), the run has no backup name and the new
// file is made at `<backup>.new` all the same.
class Win32FileSystem : public FileSystem {
 public:
  ~Win32FileSystem() override {
    CloseSource();
    CloseNew();
  }

  bool Locate(const std::string& name, std::string* target) override {
    // The name is opened as given, as it always was here.
    *target = name;
    return true;
  }

  bool IsPresent(const std::string& name) override { return FileIsPresent(name); }

  bool Claim(const std::string& name) override {
    if (source_ != INVALID_HANDLE_VALUE) return Refused();
    HANDLE handle = CreateFileW(WideName(name).c_str(), GENERIC_READ, FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed();
    // Only a disk file is claimed: a device name (CON, COM1, a pipe) would
    // wait for input that may never come.
    if (GetFileType(handle) != FILE_TYPE_DISK || !win32::FactsOf(handle, &original_)) {
      CloseHandle(handle);
      return Refused();
    }
    source_ = handle;
    name_ = name;
    return true;
  }

  bool ClaimedElsewhere(const std::string&) override { return false; }

  std::unique_ptr<InputFile> OpenForReading(const std::string& name) override {
    if (source_ != INVALID_HANDLE_VALUE) {
      // The copy's source: the claimed file, from its start, through the
      // claim's handle, which stays open when the reader goes.
      LARGE_INTEGER start = {};
      if (name != name_) return Refused(), nullptr;
      if (!SetFilePointerEx(source_, start, nullptr, FILE_BEGIN)) return Failed(), nullptr;
      auto* in = new (std::nothrow) win32::Win32Input(source_, original_.size, /*owned=*/false);
      if (!in) SetLastError(ERROR_NOT_ENOUGH_MEMORY), Failed();
      return std::unique_ptr<InputFile>(in);
    }
    // The scan, before the claim: opened without sharing, as the claim is.
    HANDLE handle = CreateFileW(WideName(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed(), nullptr;
    LARGE_INTEGER size;
    std::unique_ptr<InputFile> in;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      SetLastError(ERROR_NOT_SUPPORTED);
    } else if (GetFileSizeEx(handle, &size)) {
      in.reset(new (std::nothrow) win32::Win32Input(handle, static_cast<uint64_t>(size.QuadPart),
                                                    /*owned=*/true));
      if (!in) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!in) {
      Failed();
      CloseHandle(handle);
    }
    return in;
  }

  bool AddBackupName(const std::string& name, const std::string& backup) override {
    if (source_ == INVALID_HANDLE_VALUE || name != name_ || !backup_.empty()) return Refused();
    std::wstring to = WideName(backup);
    // A device at `backup` (a backup name formed from a device name) is
    // refused, so the search for a free backup name ends there instead of
    // trying every number.
    if (IsDevice(to)) return Refused();
    backup_ = backup;
    // A second name never replaces one that is taken.
    if (!CreateHardLinkW(to.c_str(), WideName(name).c_str(), nullptr)) {
      // Without hard links the run goes on with no backup name: the
      // original keeps its one name until the new file replaces it.
      if (NoHardLinks(GetLastError())) return true;
      backup_.clear();
      return Failed();
    }
    // The name could have been given to another file since the claim (the
    // claim shares deletion): then the link names that file, and goes.
    FileFacts linked;
    if (!win32::FactsAt(to, &linked) || !linked.SameFile(original_)) {
      if (linked.known) DeleteIfSame(to, linked, /*unchanged=*/false);
      backup_.clear();
      return Refused();
    }
    linked_ = true;
    return true;
  }

  bool CreateNew(const std::string& name, const std::string& backup) override {
    if (source_ == INVALID_HANDLE_VALUE || name != name_ || new_ != INVALID_HANDLE_VALUE ||
        created_.known) {
      return Refused();
    }
    // The new file has the access list (DACL) of the original from the
    // moment it exists: on NTFS a file made with the defaults would take the
    // folder's inheritable rights instead, which may open it to more people.
    // Only a volume that keeps no access rights (FAT) gives none to copy.
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    std::unique_ptr<char[]> descriptor;
    DWORD size = 0;
    if (!GetKernelObjectSecurity(source_, DACL_SECURITY_INFORMATION, nullptr, 0, &size)) {
      DWORD error = GetLastError();
      if (error == ERROR_INSUFFICIENT_BUFFER) {
        descriptor.reset(new (std::nothrow) char[size]);
        if (!descriptor) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (!descriptor || !GetKernelObjectSecurity(source_, DACL_SECURITY_INFORMATION,
                                                    descriptor.get(), size, &size)) {
          return Failed();
        }
        security.lpSecurityDescriptor = descriptor.get();
      } else if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
        return Failed();
      }
    }
    // CREATE_NEW: a file already there belongs to someone else (a leftover
    // of a killed run pushes the backup number on before this), and the
    // conversion fails rather than write into it or through a link planted
    // there. Without sharing: nobody else can open the new file while the
    // run holds it.
    new_name_ = backup + ".new";
    HANDLE handle = CreateFileW(WideName(new_name_).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                /*dwShareMode=*/0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed();
    // Without its identity nothing could tell this file from one put in its
    // place later.
    if (!win32::FactsOf(handle, &created_)) {
      Failed();
      win32::DeleteByHandle(handle);
      CloseHandle(handle);
      return false;
    }
    new_ = handle;
    return true;
  }

  bool WriteNew(const char* data, size_t size) override {
    if (new_ == INVALID_HANDLE_VALUE || committed_.known) return Refused();
    return win32::WriteAll(new_, data, size) || Failed();
  }

  bool CommitNew() override {
    if (new_ == INVALID_HANDLE_VALUE || committed_.known) return Refused();
    // After the last write, so that the run could still write a file that
    // becomes read-only; then flushed, the attributes with the data.
    if (!win32::SetAttributesByHandle(new_, original_.attributes & win32::kKeptAttributes) ||
        !FlushFileBuffers(new_) || !win32::FactsOf(new_, &committed_)) {
      committed_ = FileFacts();
      return Failed();
    }
    return true;
  }

  bool TakeName(const std::string& name, const std::string&) override {
    if (!committed_.known || name != name_) return Refused();
    std::wstring target = WideName(name_);
    // Only the original is replaced, never a file put in its place.
    FileFacts found;
    if (!win32::FactsAt(target, &found)) return Failed();
    if (!found.SameFile(original_)) return Refused();
    // By its handle, with the original still open where Windows allows that
    // (POSIX semantics, Windows 10 and later on NTFS), so that nobody can
    // open the original in between. Elsewhere Windows replaces no file that
    // is open: the original is closed just before, in one call, and a
    // program that opens it in that moment keeps it from being replaced
    // (the run then fails with the original, and what that program wrote,
    // under the name), or writes to it and closes it before the replace
    // (see PutBackChanged). A read-only original refuses to be replaced: it
    // loses the attribute (which the new file has taken over) first, and
    // gets it back if the new file cannot take the name.
    bool closed_first = false;
    bool moved = win32::WithoutReadOnly(target, [&] {
      if (RenameOverByHandle(new_, target, /*posix=*/true) ||
          RenameOverByHandle(new_, target, /*posix=*/false)) {
        return true;
      }
      CloseSource();
      closed_first = true;
      AtMoment(&win32::TakeNameMoments::original_closed);
      if (RenameOverByHandle(new_, target, /*posix=*/false)) return true;
      if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return Failed();
      // Before Vista: by name, once the new file is closed.
      CloseNew();
      return MoveFileExW(WideName(new_name_).c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0 ||
             Failed();
    });
    if (!moved) return false;
    named_ = true;
    if (!closed_first || !linked_) {
      // Where the volume has no hard links, nothing kept the original once
      // it was replaced: what a program wrote to it in that moment is gone
      // with it.
      CloseNew();
      return true;
    }
    // The original, now under the backup's name alone, is as the run read
    // it: the conversion holds all of it. (A backup name that no longer
    // names the original, which another program removed or replaced during
    // the run, leaves nothing to compare.)
    FileFacts original;
    if (!win32::FactsAt(WideName(backup_), &original) || !original.SameFile(original_) ||
        original.SameContents(original_)) {
      CloseNew();
      return true;
    }
    return !PutBackChanged(target);
  }

  bool RemoveBackup(const std::string&) override {
    CloseSource();
    if (!linked_) return true;
    // Only the original as the run read it goes: a backup that a program
    // wrote to (see PutBackChanged) stays. A read-only backup loses that
    // attribute just before it is deleted, and has it again if it stays.
    std::wstring backup = WideName(backup_);
    if (Retried([&] { return DeleteIfSame(backup, original_, /*unchanged=*/true); })) return true;
    Failed();
    FileFacts found;
    if (win32::FactsAt(backup, &found) && found.SameFile(original_)) {
      win32::SetAttributesAt(backup, original_.attributes);
    }
    return false;
  }

  void Discard(const std::string&, const std::string&) override {
    CloseSource();
    // The new file goes through the run's own handle, opened without
    // sharing: nobody else can have written to it or be waiting to. Once
    // that handle is closed (PutBackChanged), it is left as it is.
    if (new_ != INVALID_HANDLE_VALUE) {
      bool deleted = win32::DeleteByHandle(new_);
      CloseNew();
      if (!deleted) DeleteIfSame(WideName(new_name_), created_, /*unchanged=*/false);
    }
    // The second name goes only while the name still holds the original: it
    // is that file's other name, and deleting it loses nothing. Should the
    // name have lost the original meanwhile, the backup keeps it.
    FileFacts at_name;
    if (linked_ && !named_ && win32::FactsAt(WideName(name_), &at_name) &&
        at_name.SameFile(original_)) {
      std::wstring backup = WideName(backup_);
      Retried([&] { return DeleteIfSame(backup, original_, /*unchanged=*/false); });
      win32::SetAttributesAt(WideName(name_), original_.attributes);
    }
  }

  bool Interrupted() override { return platform::InterruptRequested(); }

  int LastError() const override { return static_cast<int>(last_error_); }

 private:
  // Records the failing step's error and returns false.
  bool Failed() {
    last_error_ = GetLastError();
    return false;
  }
  // A call out of order, or on the wrong file.
  bool Refused() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return Failed();
  }

  void CloseSource() {
    if (source_ != INVALID_HANDLE_VALUE) CloseHandle(source_);
    source_ = INVALID_HANDLE_VALUE;
  }
  void CloseNew() {
    if (new_ != INVALID_HANDLE_VALUE) CloseHandle(new_);
    new_ = INVALID_HANDLE_VALUE;
  }

  // The new file has the name, and the original, under the backup's name
  // alone, changed after the run had closed it: a program appended to it by
  // the name in the moment before the replace. The original, with that
  // program's bytes, goes back under the name, only while nobody wrote to
  // the new file; else both stay. True when the original is back under the
  // name (the run fails). What is left where:
  //   - put back: the name holds the original with the appended bytes; the
  //     new file and the backup name are gone;
  //   - a program has the new file open, or wrote to it before the
  //     original could go back: the name holds the new file (with what that
  //     program wrote), the backup the original with its appended bytes,
  //     and the run succeeds (RemoveBackup keeps a changed backup);
  //   - a program wrote to the new file in the moment the original went
  //     back, and the new file cannot take the name once more: the name
  //     holds the original with its appended bytes and the run fails, and
  //     the new file, with what that program wrote, stays under
  //     `<backup>.new`.
  bool PutBackChanged(const std::wstring& target) {
    std::wstring backup = WideName(backup_), spare = WideName(new_name_);
    // The backup keeps its attributes, whichever way this goes.
    win32::SetAttributesAt(backup, original_.attributes);
    // The new file keeps its former name as a second one while the original
    // replaces it, so that what a program writes to it until then is not
    // lost with it.
    bool kept = CreateHardLinkW(spare.c_str(), target.c_str(), nullptr) != 0;
    CloseNew();
    FileFacts closed;
    bool unwritten = kept && win32::FactsAt(spare, &closed) && closed.SameFile(created_) &&
                     closed.size == committed_.size;
    AtMoment(&win32::TakeNameMoments::before_put_back);
    bool back = unwritten && win32::WithoutReadOnly(target, [&] {
      return MoveFileExW(backup.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
    if (!back) {
      // Both stay: the new file under the name, the original in the backup.
      if (kept) Retried([&] { return DeleteIfSame(spare, created_, /*unchanged=*/false); });
      return false;
    }
    named_ = false;
    linked_ = false;  // The backup's name went with the original.
    if (Retried([&] { return DeleteIfSame(spare, closed, /*unchanged=*/true); })) return true;
    // A program wrote to the new file just before the original replaced it:
    // the new file, with those bytes, takes the name once more, the original
    // keeping the backup's.
    FileFacts found;
    if (!win32::FactsAt(spare, &found) || !found.SameFile(created_) ||
        !CreateHardLinkW(backup.c_str(), target.c_str(), nullptr)) {
      return true;
    }
    linked_ = true;
    if (!win32::WithoutReadOnly(target, [&] {
          return MoveFileExW(spare.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        })) {
      return true;
    }
    named_ = true;
    win32::SetAttributesAt(backup, original_.attributes);
    return false;
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

  std::string name_;      // The claimed file's name.
  std::string backup_;    // The backup's name (also where no link was made).
  std::string new_name_;  // `<backup>.new`, where CreateNew made the new file.
  HANDLE source_ = INVALID_HANDLE_VALUE;  // The claimed original.
  HANDLE new_ = INVALID_HANDLE_VALUE;     // The new file, until TakeName is done.
  bool linked_ = false;  // The backup is a second name of the original.
  bool named_ = false;   // The new file has the name.
  FileFacts original_;   // The original when it was claimed.
  FileFacts created_;    // The new file when it was made.
  FileFacts committed_;  // The new file when it was committed.
  DWORD last_error_ = 0;
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

std::unique_ptr<FileSystem> NewFileSystem() {
  return std::unique_ptr<FileSystem>(new (std::nothrow) Win32FileSystem());
}

}  // namespace platform

void win32::SetTakeNameMoments(const TakeNameMoments* moments) { platform::g_moments = moments; }

}  // namespace crv
