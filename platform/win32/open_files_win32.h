// The files a run has open on Windows: the source, read without sharing,
// and the new file, written without sharing and given its attributes and,
// where the original keeps the name until then, its name when it is
// committed.
#ifndef CRV_PLATFORM_WIN32_OPEN_FILES_WIN32_H_
#define CRV_PLATFORM_WIN32_OPEN_FILES_WIN32_H_

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "engine/file_system.h"

namespace crv {
namespace win32 {

// Writes all of [data, data + size), in pieces a DWORD can count.
bool WriteAll(HANDLE handle, const char* data, size_t size);

// A file's identity and the state its contents were in: its volume's serial
// number, its index on the volume, its size and its last write.
struct FileFacts {
  bool known = false;
  uint64_t volume = 0;
  uint64_t index = 0;
  uint64_t size = 0;
  uint64_t written = 0;
  DWORD attributes = 0;
  bool SameFile(const FileFacts& other) const {
    return known && other.known && volume == other.volume && index == other.index;
  }
  bool SameContents(const FileFacts& other) const {
    return SameFile(other) && size == other.size && written == other.written;
  }
};
bool FactsOf(HANDLE handle, FileFacts* facts);
// The facts of the file at `name`, opened for its attributes alone (which
// no open without sharing refuses).
bool FactsAt(const std::wstring& name, FileFacts* facts);

// SetFileInformationByHandle, looked up at run time: Windows before Vista
// lacks it, and then this returns false.
bool SetInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, void* info,
                            DWORD size);

// Marks the file open as `handle` for deletion, so that exactly that file
// goes, whatever its name designates meanwhile. False where Windows lacks
// the call (before Vista).
bool DeleteByHandle(HANDLE handle);

class Win32Input : public InputFile {
 public:
  // `read`, when given, counts the bytes read.
  explicit Win32Input(HANDLE handle, uint64_t* read = nullptr) : handle_(handle), read_(read) {
    FactsOf(handle, &facts_);
  }
  ~Win32Input() override { Close(); }

  ReadResult Read(char* buffer, size_t size, size_t* got) override;
  HANDLE handle() const { return handle_; }
  // The source's facts when it was opened.
  const FileFacts& facts() const { return facts_; }
  // Closes the file before the object goes: a file that is open cannot be
  // replaced under another of its names.
  void Close();

 private:
  HANDLE handle_;
  uint64_t* read_;
  FileFacts facts_;
};

class Win32Output : public OutputFile {
 public:
  // `attributes`: the original's attributes that the new file takes after its
  // last write. `take_name`, when set, gives the committed file its final
  // name; it gets the open file's handle, which it may close (and then sets
  // to INVALID_HANDLE_VALUE), and fails the commit when it fails.
  Win32Output(HANDLE handle, DWORD attributes, std::function<bool(HANDLE*)> take_name)
      : handle_(handle), attributes_(attributes), take_name_(std::move(take_name)) {}
  ~Win32Output() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  bool Write(const char* data, size_t size) override { return WriteAll(handle_, data, size); }
  bool Commit() override;

 private:
  HANDLE handle_;
  DWORD attributes_;
  std::function<bool(HANDLE*)> take_name_;
};

}  // namespace win32
}  // namespace crv

#endif  // CRV_PLATFORM_WIN32_OPEN_FILES_WIN32_H_
