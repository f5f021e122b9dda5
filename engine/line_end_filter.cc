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

// Whole blocks of 64 bytes whose CRs all stand alone are rewritten from bit
// masks of their CR and LF bytes, without looking at bytes one by one.
#define CRV_BLOCK_PATH 1
constexpr size_t kBlock = 64;

inline void Copy64(char* o, const char* p) {
  for (int i = 0; i < 64; i += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
  }
}

// Bit i of the result is set when byte i of the 64 bytes at `p` is `c`.
inline uint64_t Mask64(const char* p, char c) {
  uint64_t mask = 0;
  for (int i = 0; i < 64; i += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    uint64_t bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
    mask |= bits << i;
  }
  return mask;
}

// Copies the 64 bytes at `p` to `o` without the bytes marked in `drop`.
// Reads up to 64 bytes past the block and writes up to 64 bytes past the
// returned end.
inline char* CopyDropping(char* o, const char* p, uint64_t drop) {
  size_t pos = 0;
  for (; drop != 0; drop &= drop - 1) {
    size_t i = static_cast<size_t>(__builtin_ctzll(drop));
    Copy64(o, p + pos);
    o += i - pos;
    pos = i + 1;
  }
  Copy64(o, p + pos);
  return o + (kBlock - pos);
}

// Copies the 64 bytes at `p` to `o` with a CR inserted before each byte
// marked in `before`. Same overreach as CopyDropping.
inline char* CopyInsertingCRs(char* o, const char* p, uint64_t before) {
  size_t pos = 0;
  for (; before != 0; before &= before - 1) {
    size_t i = static_cast<size_t>(__builtin_ctzll(before));
    Copy64(o, p + pos);
    o += i - pos;
    *o++ = '\r';
    pos = i;
  }
  Copy64(o, p + pos);
  return o + (kBlock - pos);
}

#else

constexpr size_t kStep = 8;
constexpr size_t kBlock = 0;
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
    : add_cr_(add_cr),
      sink_(sink),
      out_(NewPageBuffer(kPageSize + kOutputCapacity + kStep + kBlock)) {}

char* LineEndFilter::StageStart() const { return out_.get() + emitted_ % kPageSize; }

bool LineEndFilter::Emit(const char* data, size_t size) {
  emitted_ += size;
  return size == 0 || sink_->Write(data, size);
}

bool LineEndFilter::WritePendingCRsToSink() {
  static char crs[4096];
  static const bool filled = (std::memset(crs, '\r', sizeof crs), true);
  (void)filled;
  while (pending_cr_ > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(pending_cr_, sizeof crs));
    if (!Emit(crs, n)) return false;
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
  if (!Emit(stage_, static_cast<size_t>(*out - stage_)) || !WritePendingCRsToSink()) return false;
  stage_ = *out = StageStart();
  return true;
}

bool LineEndFilter::FeedChunk(const char* p, size_t size) {
  const char* const end = p + size;
  stage_ = StageStart();
  char* o = stage_;
  while (p < end) {
    if (pending_cr_ == 0) {
#if defined(CRV_BLOCK_PATH)
      // No CR is held back here, so the byte before `p` is never a CR still
      // waiting for its LF. A block qualifies when no CR in it has a CR after
      // it or stands last (its run may go on past the block); a CR then
      // belongs to a line end exactly when an LF follows it.
      while (static_cast<size_t>(end - p) >= 2 * kBlock) {
        uint64_t cr = Mask64(p, '\r');
        if ((cr & ((cr >> 1) | (1ull << 63))) != 0) break;
        uint64_t lf = Mask64(p, '\n');
        o = add_cr_ ? CopyInsertingCRs(o, p, lf & ~(cr << 1)) : CopyDropping(o, p, cr & (lf >> 1));
        p += kBlock;
      }
#endif
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
      // The common line ends, LF and a single CR before LF, are taken
      // straight away.
      size_t line_end = *p == '\n' ? 1 : (end - p >= 2 && p[1] == '\n') ? 2 : 0;
      if (line_end != 0) {
        if (add_cr_) *o++ = '\r';
        *o++ = '\n';
        p += line_end;
        continue;
      }
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
  return Emit(stage_, static_cast<size_t>(o - stage_));
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
