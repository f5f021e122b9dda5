// Text and names between their forms on Windows. Names are kept in UTF-8
// inside the program (the engine and the front end handle them as byte
// strings) and are UTF-16 at every Windows call; a name that is not valid
// UTF-16 (an unpaired surrogate, which NTFS allows) travels as the three
// bytes UTF-8 would give that code unit, so every name goes back unchanged.
// The messages are code page 932 bytes, shown through the wide functions so
// that they read the same on every system code page.
#ifndef CRV_PLATFORM_WIN32_TEXT_WIN32_H_
#define CRV_PLATFORM_WIN32_TEXT_WIN32_H_

#include <string>

namespace crv {
namespace win32 {

// A name from Windows (UTF-16, `size` code units) in the program's form.
std::string NameFromWide(const wchar_t* wide, size_t size);
// A name in the program's form as Windows takes it.
std::wstring WideName(const std::string& name);

// A message text in code page 932 as UTF-16.
std::wstring WideText(const std::string& cp932);
// A message text in code page 932 with its "%s", if it has one, standing for
// the name `file_name`, as UTF-16.
std::wstring WideMessage(const std::string& cp932, const std::string& file_name);

// The name as bytes of the system's ANSI code page, as the A functions give
// it, when every character fits there; otherwise (or where that code page is
// UTF-8) its UTF-8 bytes.
std::string NameInAnsiCodePage(const std::string& name);

}  // namespace win32
}  // namespace crv

#endif  // CRV_PLATFORM_WIN32_TEXT_WIN32_H_
