// The files a run has open on Windows, and the facts that tell one file
// from another and a changed file from an unchanged one.
#ifndef CRV_PLATFORM_WIN32_OPEN_FILES_WIN32_H_
#define CRV_PLATFORM_WIN32_OPEN_FILES_WIN32_H_

#include <windows.h>

#include <cstdint>
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

// A file open for reading. Either it owns its handle and closes it when it
// goes, or it reads through a handle its file system keeps (the claimed
// file, which stays open after the copy).
class Win32Input : public InputFile {
 public:
  Win32Input(HANDLE handle, uint64_t size, bool owned)
      : handle_(handle), size_(size), owned_(owned) {}
  ~Win32Input() override {
    if (owned_) CloseHandle(handle_);
  }

  ReadResult Read(char* buffer, size_t size, size_t* got) override;
  uint64_t Size() const override { return size_; }

 private:
  HANDLE handle_;
  uint64_t size_;
  bool owned_;
};

}  // namespace win32
}  // namespace crv

#endif  // CRV_PLATFORM_WIN32_OPEN_FILES_WIN32_H_
