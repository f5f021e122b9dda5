#include "engine/line_end_filter.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__) && !defined(CRV_PORTABLE_SCAN)
#include <emmintrin.h>
#endif

namespace crv {

namespace {

#if defined(__SSE2__) && !defined(CRV_PORTABLE_SCAN)

constexpr size_t kStep = 16;

// Copies the kStep bytes at `p` to `o` and returns how many of them come
// before the first CR or LF (kStep when there is none).
inline size_t CopyOrdinaryStep(const char* p, char* o) {
  __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
  __m128i special = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')),
                                 _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
  unsigned marks = static_cast<unsigned>(_mm_movemask_epi8(special));
  return marks ? static_cast<size_t>(__builtin_ctz(marks)) : kStep;
}

#else

constexpr size_t kStep = 8;
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are read little-endian");

// Marks zero bytes of `word` with their high bit. The lowest mark is always
// exact (higher ones may be false), which is all the scan needs.
inline uint64_t ZeroBytes(uint64_t word) { return (word - kOnes) & ~word & kHighs; }

inline size_t CopyOrdinaryStep(const char* p, char* o) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  std::memcpy(o, &word, 8);
  uint64_t marks = ZeroBytes(word ^ (kOnes * '\r')) | ZeroBytes(word ^ (kOnes * '\n'));
  return marks ? static_cast<size_t>(__builtin_ctzll(marks)) / 8 : kStep;
}

#endif

}  // namespace

LineEndFilter::LineEndFilter(bool add_cr, ByteSink* sink)
    : add_cr_(add_cr), sink_(sink), out_(new char[kOutputCapacity + kStep]) {}

bool LineEndFilter::WritePendingCRsToSink() {
  static char crs[4096];
  static const bool filled = (std::memset(crs, '\r', sizeof crs), true);
  (void)filled;
  while (pending_cr_ > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(pending_cr_, sizeof crs));
    if (!sink_->Write(crs, n)) return false;
    pending_cr_ -= n;
  }
  return true;
}

bool LineEndFilter::EmitPendingCRs(char** out) {
  if (pending_cr_ <= kChunk) {
    std::memset(*out, '\r', static_cast<size_t>(pending_cr_));
    *out += pending_cr_;
    pending_cr_ = 0;
    return true;
  }
  size_t staged = static_cast<size_t>(*out - out_.get());
  *out = out_.get();
  return (staged == 0 || sink_->Write(out_.get(), staged)) && WritePendingCRsToSink();
}

bool LineEndFilter::FeedChunk(const char* p, size_t size) {
  const char* const end = p + size;
  char* o = out_.get();
  while (p < end) {
    if (pending_cr_ == 0) {
      // Ordinary bytes are copied a word at a time; in the word that holds
      // the next CR or LF, only the bytes before it count as copied (the
      // staging area has room for the rest of the word).
      while (static_cast<size_t>(end - p) >= kStep) {
        size_t ordinary = CopyOrdinaryStep(p, o);
        o += ordinary;
        p += ordinary;
        if (ordinary < kStep) break;
      }
      while (p < end && *p != '\r' && *p != '\n') *o++ = *p++;
      if (p == end) break;
    }
    char c = *p++;
    if (c == '\r') {
      // Held back until the byte after the run shows whether it ends a line.
      ++pending_cr_;
    } else if (c == '\n') {
      // The CR run before this LF, if any, is part of the line end.
      pending_cr_ = 0;
      if (add_cr_) *o++ = '\r';
      *o++ = '\n';
    } else {
      // The held-back CRs were not part of a line end: they stay.
      if (!EmitPendingCRs(&o)) return false;
      *o++ = c;
    }
  }
  size_t n = static_cast<size_t>(o - out_.get());
  return n == 0 || sink_->Write(out_.get(), n);
}

bool LineEndFilter::Feed(const char* data, size_t size) {
  while (size > 0) {
    size_t n = std::min(size, kChunk);
    if (!FeedChunk(data, n)) return false;
    data += n;
    size -= n;
  }
  return true;
}

bool LineEndFilter::Finish() { return WritePendingCRsToSink(); }

}  // namespace crv
