#include "engine/change_scan.h"

#include <cstring>

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

}  // namespace

ChangeScan::ChangeScan(bool add_cr, const FilterKernel& kernel)
    : add_cr_(add_cr), blocks_(add_cr ? kernel.scan_add_cr : kernel.scan_drop_cr) {}

bool ChangeScan::Feed(const char* data, size_t size) {
  if (changed_ || size == 0) return changed_;
  const char* p = data;
  const char* const end = data + size;
  // The kernel passes whole blocks without a change; the rest, from the
  // block that has one, is checked an LF at a time.
  size_t passed = blocks_(p, size, crs_before_);
  if (passed != 0) {
    crs_before_ = CRsBefore(p, p + passed, crs_before_);
    p += passed;
  }
  while (const void* found = std::memchr(p, '\n', static_cast<size_t>(end - p))) {
    const char* lf = static_cast<const char*>(found);
    unsigned crs = CRsBefore(p, lf, crs_before_);
    if (add_cr_ ? crs != 1 : crs != 0) return changed_ = true;
    p = lf + 1;
    crs_before_ = 0;
  }
  crs_before_ = CRsBefore(p, end, crs_before_);
  return false;
}

}  // namespace crv
