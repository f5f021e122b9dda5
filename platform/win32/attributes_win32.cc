#include "platform/win32/attributes_win32.h"

#include "platform/win32/open_files_win32.h"

namespace crv {
namespace win32 {

bool SetAttributesByHandle(HANDLE handle, DWORD attributes) {
  // Times of 0 stay as they are; attributes of 0 would too, so "none" is
  // written as FILE_ATTRIBUTE_NORMAL.
  FILE_BASIC_INFO info = {};
  attributes &= kKeptAttributes;
  info.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  if (SetInformationByHandle(handle, FileBasicInfo, &info, sizeof info)) return true;
  return GetLastError() == ERROR_CALL_NOT_IMPLEMENTED;
}

bool SetAttributesAt(const std::wstring& name, DWORD attributes) {
  return SetFileAttributesW(name.c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

}  // namespace win32
}  // namespace crv
