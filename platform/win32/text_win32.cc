#include "platform/win32/text_win32.h"

#include <windows.h>

namespace crv {
namespace win32 {

std::string NameFromWide(const wchar_t* wide, size_t size) {
  std::string name;
  name.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    unsigned long c = static_cast<unsigned short>(wide[i]);
    // A surrogate pair is one character; a lone surrogate stays a unit.
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < size) {
      unsigned long low = static_cast<unsigned short>(wide[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c < 0x80) {
      name += static_cast<char>(c);
    } else if (c < 0x800) {
      name += static_cast<char>(0xC0 | c >> 6);
      name += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      name += static_cast<char>(0xE0 | c >> 12);
      name += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      name += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      name += static_cast<char>(0xF0 | c >> 18);
      name += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      name += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      name += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return name;
}

std::wstring WideName(const std::string& name) {
  std::wstring wide;
  wide.reserve(name.size());
  const size_t n = name.size();
  for (size_t i = 0; i < n;) {
    unsigned char lead = static_cast<unsigned char>(name[i]);
    int extra = -1;  // continuation bytes after the lead; -1: no lead byte
    if (lead < 0x80) {
      extra = 0;
    } else if (lead >= 0xC2 && lead < 0xE0) {
      extra = 1;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      extra = 2;
    } else if (lead >= 0xF0 && lead < 0xF5) {
      extra = 3;
    }
    unsigned long c = extra == 0 ? lead : extra == 1 ? lead & 0x1F : extra == 2 ? lead & 0x0F
                                                                              : lead & 0x07;
    bool valid = extra >= 0 && i + extra < n;
    for (int k = 1; valid && k <= extra; ++k) {
      unsigned char b = static_cast<unsigned char>(name[i + k]);
      valid = (b & 0xC0) == 0x80;
      c = c << 6 | (b & 0x3F);
    }
    // Names come from NameFromWide, so every sequence is whole; a stray
    // byte (only a program's own mistake could make one) becomes U+FFFD.
    if (!valid || (extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF))) {
      wide += L'\xFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      wide += static_cast<wchar_t>(0xD800 + (c >> 10));
      wide += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    } else {
      wide += static_cast<wchar_t>(c);
    }
  }
  return wide;
}

std::wstring WideText(const std::string& cp932) {
  if (cp932.empty()) return std::wstring();
  int size = static_cast<int>(cp932.size());
  int n = MultiByteToWideChar(932, 0, cp932.data(), size, nullptr, 0);
  if (n > 0) {
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(932, 0, cp932.data(), size, &wide[0], n) == n) return wide;
  }
  // Without the code page (it ships with every Windows, so hardly ever):
  // the ASCII parts still read right.
  std::wstring wide;
  for (char c : cp932) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return wide;
}

std::wstring WideMessage(const std::string& cp932, const std::string& file_name) {
  size_t at = cp932.find("%s");
  if (at == std::string::npos) return WideText(cp932);
  return WideText(cp932.substr(0, at)) + WideName(file_name) + WideText(cp932.substr(at + 2));
}

std::string NameInAnsiCodePage(const std::string& name) {
  if (GetACP() == CP_UTF8) return name;
  std::wstring wide = WideName(name);
  if (wide.empty()) return name;
  int size = static_cast<int>(wide.size());
  BOOL lossy = FALSE;
  // No best fit: a character that is not in the code page must not come
  // out as a look-alike (or "?") that names another file.
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0,
                              nullptr, &lossy);
  if (n <= 0 || lossy) return name;
  std::string bytes(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, &bytes[0], n, nullptr,
                          &lossy) != n || lossy) {
    return name;
  }
  return bytes;
}

}  // namespace win32
}  // namespace crv
