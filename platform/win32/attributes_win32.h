// The attributes a converted file takes over from the original.
#ifndef CRV_PLATFORM_WIN32_ATTRIBUTES_WIN32_H_
#define CRV_PLATFORM_WIN32_ATTRIBUTES_WIN32_H_

#include <windows.h>

#include <string>

namespace crv {
namespace win32 {

// What the new file keeps of the original's attributes; the others (a
// compressed or sparse file, for example) belong to how the volume stores
// the file, not to what the user set.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Gives the open file exactly the kept attributes in `attributes`. True
// also where Windows cannot set them by handle (before Vista): the file
// then has a new file's attributes, as it always had there.
bool SetAttributesByHandle(HANDLE handle, DWORD attributes);

// Sets the attributes of the file at `name` (0 clears them all).
bool SetAttributesAt(const std::wstring& name, DWORD attributes);

// Clears the read-only attribute at `name`, runs `step` (a deletion or a
// replacement, which a read-only file refuses) and puts the attribute back
// when the step fails. The step's result.
template <typename Step>
bool WithoutReadOnly(const std::wstring& name, Step step) {
  DWORD attributes = GetFileAttributesW(name.c_str());
  bool cleared = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                 SetAttributesAt(name, attributes & ~FILE_ATTRIBUTE_READONLY);
  if (step()) return true;
  if (cleared) SetAttributesAt(name, attributes);
  return false;
}

}  // namespace win32
}  // namespace crv

#endif  // CRV_PLATFORM_WIN32_ATTRIBUTES_WIN32_H_
