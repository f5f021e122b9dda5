// The line-end filter: a streaming rewrite of line ends over byte blocks.
//
// Rule: every maximal run of CR bytes that is immediately followed by an LF,
// together with that LF, becomes CR LF (add_cr) or LF (!add_cr). Every other
// byte, including CRs that are not directly followed by an LF, is copied
// unchanged. The only state carried from one block to the next is the number
// of CRs read but not yet written, so any split of the input into blocks gives
// the same output as one block, in constant memory.
#ifndef CRV_ENGINE_LINE_END_FILTER_H_
#define CRV_ENGINE_LINE_END_FILTER_H_

#include <cstddef>
#include <cstdint>

namespace crv {

// Where the filter's output goes. Write() returns false when the bytes could
// not be stored; the filter then stops at once.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const char* data, size_t size) = 0;
};

class LineEndFilter {
 public:
  LineEndFilter(bool add_cr, ByteSink* sink) : add_cr_(add_cr), sink_(sink) {}

  // Filters the next block of input. False when the sink failed.
  bool Feed(const char* data, size_t size);
  // End of input: writes the CRs still held back. False when the sink failed.
  bool Finish();

  uint64_t PendingCR() const { return pending_cr_; }

 private:
  bool WritePendingCRs();

  const bool add_cr_;
  ByteSink* const sink_;
  uint64_t pending_cr_ = 0;
};

}  // namespace crv

#endif  // CRV_ENGINE_LINE_END_FILTER_H_
