// Whether the line-end filter would change a stream of bytes, found without
// writing anything: a run that would not change a byte can leave the file
// alone. Streams over blocks like the filter, in constant memory, and uses
// the same kernel for whole 64-byte blocks.
//
// The filter changes its input exactly at an LF that is not already a line
// end of the requested form: with add_cr, an LF not preceded by exactly one
// CR (a bare LF, or one after a run of CRs); without, an LF preceded by a CR.
//
// It also notes a NUL byte met before the first change (or anywhere, when
// there is none): such bytes are not text, which the filter would refuse to
// convert, while a file without changes stays as it is whatever it holds.
#ifndef CRV_ENGINE_CHANGE_SCAN_H_
#define CRV_ENGINE_CHANGE_SCAN_H_

#include <cstddef>

#include "engine/filter_kernel.h"

namespace crv {

class ChangeScan {
 public:
  explicit ChangeScan(bool add_cr, const FilterKernel& kernel = BestFilterKernel());

  // Scans the next block of input. True once a change has been found, in
  // this block or an earlier one; the caller may stop feeding then.
  bool Feed(const char* data, size_t size);
  // End of input: true when the filter would change the bytes fed.
  bool Finish() const { return changed_; }
  // Whether a NUL byte came before the first change (or, while none has been
  // found, in the bytes fed).
  bool FoundNul() const { return nul_found_; }

 private:
  const bool add_cr_;
  size_t (*const blocks_)(const char*, size_t, unsigned, bool*);
  unsigned crs_before_ = 0;  // CRs that ended the input so far, up to 2
  bool changed_ = false;
  bool nul_found_ = false;
};

}  // namespace crv

#endif  // CRV_ENGINE_CHANGE_SCAN_H_
