// The Windows file system of a run, where Windows replaces no file that is
// open (Wine, Windows before 10): a program that appends to the original by
// its name in the moment between its close and the replace, and one that
// writes to the new file before the original can go back, at those very
// moments. Nothing written may be lost, and the run succeeds exactly when
// the name holds the conversion.
#include "platform/win32/file_system_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/convert.h"
#include "platform/platform.h"

namespace crv {
namespace {

using Files = std::map<std::string, std::string>;

class Folder {
 public:
  Folder() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "crv_fs_test_" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~Folder() {
    for (const auto& file : List()) {
      SetFileAttributesA(At(file.first).c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(At(file.first).c_str());
    }
    RemoveDirectoryA(path_.c_str());
  }
  std::string At(const std::string& name) const { return path_ + name; }

  void Put(const std::string& name, const std::string& data) const {
    HANDLE h = CreateFileA(At(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
    CloseHandle(h);
  }

  // Every file and its contents, after "read-only " where it is.
  Files List() const {
    Files files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(At("*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      HANDLE h = CreateFileA(At(found.cFileName).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      char buffer[4096];
      DWORD n = 0;
      ReadFile(h, buffer, sizeof buffer, &n, nullptr);
      CloseHandle(h);
      bool read_only = found.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
      files[found.cFileName] = (read_only ? "read-only " : "") + std::string(buffer, n);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return files;
  }

 private:
  std::string path_;
};

// Opens `name` for appending as a command's `>>` does (sharing reading and
// writing) and appends `line`; the handle is returned open.
HANDLE Append(const std::string& name, const std::string& line) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end = {};
  SetFilePointerEx(h, end, nullptr, FILE_END);
  DWORD n = 0;
  WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
  return h;
}

TEST(Win32FileSystem, WritersAtTheMomentsOfTheReplace) {
  const std::string kOriginal = "a\r\nb\r\n", kConverted = "a\nb\n";
  const std::string kAppended = "appended\r\n", kLate = "late\r\n";
  enum NewFile { kUntouched, kWritten, kHeldOpen };
  struct Case {
    const char* what;
    Files leftovers;  // of killed runs, there before
    bool read_only;   // the original
    bool append;      // to the original, once it is closed
    NewFile new_file;  // before the changed original goes back
    int number;        // the backup number the run uses
    bool converted;    // the run's result
    Files after;       // besides the leftovers
  } cases[] = {
      {"nobody writes", {}, false, false, kUntouched, 1, true, {{"f", kConverted}}},
      {"a leftover new file", {{"f.crv#001.new", "x"}}, false, false, kUntouched, 2, true,
       {{"f", kConverted}}},
      {"a leftover backup and new file", {{"f.crv#001", "o"}, {"f.crv#001.new", "x"}}, false, false,
       kUntouched, 2, true, {{"f", kConverted}}},
      {"appended: the original goes back", {}, false, true, kUntouched, 1, false,
       {{"f", kOriginal + kAppended}}},
      {"the new file written too: both stay", {}, false, true, kWritten, 1, true,
       {{"f", kConverted + kLate}, {"f.crv#001", kOriginal + kAppended}}},
      // The writer's open keeps the new file's former name from going.
      {"the new file held open: both stay", {}, false, true, kHeldOpen, 1, true,
       {{"f", kConverted + kLate},
        {"f.crv#001", kOriginal + kAppended},
        {"f.crv#001.new", kConverted + kLate}}},
      {"read-only, nobody writes", {}, true, false, kUntouched, 1, true,
       {{"f", "read-only " + kConverted}}},
      {"read-only, appended: it goes back read-only", {}, true, true, kUntouched, 1, false,
       {{"f", "read-only " + kOriginal + kAppended}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder folder;
    folder.Put("f", kOriginal);
    if (c.read_only) SetFileAttributesA(folder.At("f").c_str(), FILE_ATTRIBUTE_READONLY);
    for (const auto& leftover : c.leftovers) folder.Put(leftover.first, leftover.second);
    std::string backup = BackupName("f", c.number);
    HANDLE held = INVALID_HANDLE_VALUE;
    int closed = 0;
    win32::TakeNameMoments moments;
    moments.original_closed = [&] {
      ++closed;
      Files now = folder.List();
      EXPECT_EQ(now.count(backup), 1u);
      EXPECT_EQ(now.count(backup + ".new"), 1u);
      if (c.append) CloseHandle(Append(folder.At("f"), kAppended));
    };
    moments.before_put_back = [&] {
      if (c.new_file != kUntouched) held = Append(folder.At("f"), kLate);
      if (c.new_file == kWritten) CloseHandle(held);
    };
    win32::SetTakeNameMoments(&moments);
    std::unique_ptr<FileSystem> fs = platform::NewFileSystem();
    RunReport report;
    bool converted = ReplaceInPlace(*fs, folder.At("f"), /*add_cr=*/false, nullptr, &report);
    fs.reset();
    win32::SetTakeNameMoments(nullptr);
    if (c.new_file == kHeldOpen) CloseHandle(held);
    EXPECT_EQ(closed, 1) << "the original was replaced while open";
    EXPECT_EQ(converted, c.converted) << StepName(report.step);
    Files expected = c.after;
    expected.insert(c.leftovers.begin(), c.leftovers.end());
    EXPECT_EQ(folder.List(), expected);
  }
}

}  // namespace
}  // namespace crv
