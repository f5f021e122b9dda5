// The line-end filter: a streaming rewrite of line ends over byte blocks.
//
// Rule: every maximal run of CR bytes that is immediately followed by an LF,
// together with that LF, becomes CR LF (add_cr) or LF (!add_cr). Every other
// byte, including CRs that are not directly followed by an LF, is copied
// unchanged. The only state carried from one block to the next is the number
// of CRs read but not yet written, so any split of the input into blocks gives
// the same output as one block, in constant memory.
//
// Text never holds a NUL byte: the filter stops at the first one it meets,
// and takes no more input, so that a file that is not text is not rewritten.
#ifndef CRV_ENGINE_LINE_END_FILTER_H_
#define CRV_ENGINE_LINE_END_FILTER_H_

#include <cstddef>
#include <cstdint>

#include "engine/filter_kernel.h"
#include "engine/page_buffer.h"

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
  // Input is filtered in chunks of this size; each chunk's output reaches the
  // sink in one Write of at most kOutputCapacity bytes (except long runs of
  // held-back CRs, which go out in pieces).
  static constexpr size_t kChunk = 128 * 1024;

  // `kernel` rewrites whole blocks where it can (tests choose one; a
  // program takes the best its processor runs).
  LineEndFilter(bool add_cr, ByteSink* sink, const FilterKernel& kernel = BestFilterKernel());

  // Filters the next block of input. False when the sink failed or the
  // input holds a NUL byte (see FoundNul).
  bool Feed(const char* data, size_t size);
  // End of input: writes the CRs still held back. False when the sink failed
  // or a NUL byte was met.
  bool Finish();

  // Whether Feed stopped at a NUL byte; then what it wrote ends before that
  // byte, and NulOffset() is its offset from the first byte fed.
  bool FoundNul() const { return nul_at_ != kNoNul; }
  uint64_t NulOffset() const { return nul_at_; }

 private:
  // Every input byte yields at most two output bytes; held-back CRs from
  // earlier chunks are staged only while they fit in one more chunk's worth.
  static constexpr size_t kOutputCapacity = 3 * kChunk;

  // Output is staged at the same offset within a page as it will have in the
  // output stream, so that the kernel's copy into the file's pages is aligned
  // on both sides (see page_buffer.h).
  char* StageStart() const;
  // Sends output to the sink, counting it.
  bool Emit(const char* data, size_t size);

  static constexpr uint64_t kNoNul = UINT64_MAX;

  bool FeedChunk(const char* data, size_t size);
  // Writes the held-back CRs at *out, or, when there are too many to stage,
  // sends the staged output and then the CRs straight to the sink.
  bool EmitPendingCRs(char** out);
  bool WritePendingCRsToSink();

  const bool add_cr_;
  ByteSink* const sink_;
  size_t (*const blocks_)(const char*, size_t, char**, bool*);
  uint64_t pending_cr_ = 0;
  uint64_t emitted_ = 0;
  uint64_t fed_ = 0;  // input bytes before the chunk being filtered
  uint64_t nul_at_ = kNoNul;
  PageBuffer out_;
  char* stage_ = nullptr;
};

}  // namespace crv

#endif  // CRV_ENGINE_LINE_END_FILTER_H_
