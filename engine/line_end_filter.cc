#include "engine/line_end_filter.h"

#include <cstring>

namespace crv {

namespace {

// Index of the first byte of the run of CRs that ends at `end`.
const char* StartOfTrailingCRs(const char* begin, const char* end) {
  while (end > begin && end[-1] == '\r') --end;
  return end;
}

}  // namespace

bool LineEndFilter::WritePendingCRs() {
  static char kCRs[4096];
  static const bool kFilled = (std::memset(kCRs, '\r', sizeof kCRs), true);
  (void)kFilled;
  while (pending_cr_ > 0) {
    size_t n = pending_cr_ < sizeof kCRs ? static_cast<size_t>(pending_cr_) : sizeof kCRs;
    if (!sink_->Write(kCRs, n)) return false;
    pending_cr_ -= n;
  }
  return true;
}

bool LineEndFilter::Feed(const char* data, size_t size) {
  const char* p = data;
  const char* const end = data + size;
  static const char kCRLF[2] = {'\r', '\n'};
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
    const char* stop = lf ? lf : end;
    const char* crs = StartOfTrailingCRs(p, stop);
    if (crs > p) {
      // Bytes other than CR stand between the held-back CRs and the next LF,
      // so those CRs were not part of a line end: they stay.
      if (!WritePendingCRs()) return false;
      if (!sink_->Write(p, crs - p)) return false;
    }
    if (!lf) {
      pending_cr_ += stop - crs;
      return true;
    }
    // The CR run directly before this LF (held back or in this block) is
    // dropped; the line end is written in the chosen form.
    pending_cr_ = 0;
    if (add_cr_ ? !sink_->Write(kCRLF, 2) : !sink_->Write(kCRLF + 1, 1)) return false;
    p = lf + 1;
  }
  return true;
}

bool LineEndFilter::Finish() { return WritePendingCRs(); }

}  // namespace crv
