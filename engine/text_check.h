// What marks a file as not text, besides the NUL bytes that the filter and
// the change scan stop at: a UTF-16 or UTF-32 byte-order mark at its start.
// Such a file's line ends are two or four bytes wide, and rewriting single
// bytes would break its characters. (A UTF-8 byte-order mark is text.)
#ifndef CRV_ENGINE_TEXT_CHECK_H_
#define CRV_ENGINE_TEXT_CHECK_H_

#include <cstddef>

namespace crv {

// True when the first `size` bytes of a file, at `data`, begin with
// FF FE (UTF-16LE, and UTF-32LE's FF FE 00 00), FE FF (UTF-16BE) or
// 00 00 FE FF (UTF-32BE).
inline bool StartsWithWideBom(const char* data, size_t size) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(data);
  if (size >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) return true;
  return size >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF;
}

}  // namespace crv

#endif  // CRV_ENGINE_TEXT_CHECK_H_
