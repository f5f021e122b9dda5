#include "engine/change_scan.h"

#include <cstdint>
#include <cstring>

#include "engine/byte_words.h"

namespace crv {

namespace {

// The CRs directly before `at`, up to 2; where they reach back to `begin`,
// the `crs_before` it had count too.
unsigned CRsBefore(const char* begin, const char* at, unsigned crs_before) {
  unsigned n = 0;
  while (n < 2 && at - n > begin && *(at - 1 - n) == '\r') ++n;
  if (at - n == begin) n += crs_before;
  return n < 2 ? n : 2;
}

// The first LF or NUL byte in [p, end), a word at a time, or a byte before
// it that LfOrNulBytes marks too; null when there is none.
const char* FindLfOrNul(const char* p, const char* end) {
  for (; end - p >= 8; p += 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (uint64_t marks = LfOrNulBytes(word)) return p + FirstMarked(marks);
  }
  for (; p < end; ++p) {
    if (*p == '\n' || *p == '\0') return p;
  }
  return nullptr;
}

}  // namespace

ChangeScan::ChangeScan(bool add_cr, const FilterKernel& kernel)
    : add_cr_(add_cr), blocks_(add_cr ? kernel.scan_add_cr : kernel.scan_drop_cr) {}

bool ChangeScan::Feed(const char* data, size_t size) {
  if (changed_ || size == 0) return changed_;
  const char* p = data;
  const char* const end = data + size;
  // The kernel passes whole blocks without a change, and tells whether they
  // (or the block after them) held a NUL, which is then looked for in them;
  // the rest, from the block that has a change, is checked an LF at a time,
  // and until a NUL is found, a NUL at a time too.
  bool nul = false;
  size_t passed = blocks_(p, size, crs_before_, &nul);
  if (nul && !nul_found_) nul_found_ = std::memchr(p, '\0', passed) != nullptr;
  if (passed != 0) {
    crs_before_ = CRsBefore(p, p + passed, crs_before_);
    p += passed;
  }
  for (;;) {
    const void* at =
        nul_found_ ? std::memchr(p, '\n', static_cast<size_t>(end - p)) : FindLfOrNul(p, end);
    if (!at) break;
    const char* byte = static_cast<const char*>(at);
    if (*byte == '\0') {
      nul_found_ = true;
    } else if (*byte == '\n') {
      unsigned crs = CRsBefore(p, byte, crs_before_);
      if (add_cr_ ? crs != 1 : crs != 0) return changed_ = true;
    }
    p = byte + 1;
    crs_before_ = 0;
  }
  crs_before_ = CRsBefore(p, end, crs_before_);
  return false;
}

}  // namespace crv
