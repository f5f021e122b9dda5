#include "engine/line_end_filter.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_words.h"

namespace crv {

namespace {

constexpr size_t kStep = 8;

// Copies a word and returns how many of its bytes come before the first CR,
// LF or NUL, or the rare other byte LfOrNulBytes marks (kStep: none).
inline size_t CopyOrdinaryStep(const char* p, char* o) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  std::memcpy(o, &word, 8);
  uint64_t marks = BytesEqual(word, '\r') | LfOrNulBytes(word);
  return marks ? FirstMarked(marks) : kStep;
}

}  // namespace

LineEndFilter::LineEndFilter(bool add_cr, ByteSink* sink, const FilterKernel& kernel)
    : add_cr_(add_cr),
      sink_(sink),
      blocks_(add_cr ? kernel.add_cr : kernel.drop_cr),
      out_(NewPageBuffer(kPageSize + kOutputCapacity + kStep + kKernelOverreach)) {}

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
  const char* const begin = p;
  const char* const end = p + size;
  stage_ = StageStart();
  char* o = stage_;
  while (p < end) {
    if (pending_cr_ == 0) {
      // No CR is held back here, so the kernel may take over whole blocks.
      // It only says whether they (or the block after them) held a NUL,
      // which is then looked for in them; the byte scan finds one after.
      bool nul = false;
      size_t taken = blocks_(p, static_cast<size_t>(end - p), &o, &nul);
      if (const void* at = nul ? std::memchr(p, '\0', taken) : nullptr) {
        nul_at_ = fed_ + static_cast<uint64_t>(static_cast<const char*>(at) - begin);
        return false;
      }
      p += taken;
      // Ordinary bytes are copied a word at a time; in the word that holds
      // the next CR, LF or NUL, only the bytes before it count as copied
      // (the staging area has room for the rest of the word).
      while (static_cast<size_t>(end - p) >= kStep) {
        size_t ordinary = CopyOrdinaryStep(p, o);
        o += ordinary;
        p += ordinary;
        if (ordinary < kStep) break;
      }
      while (p < end && *p != '\r' && *p != '\n' && *p != '\0') *o++ = *p++;
      if (p == end) break;
      // The common line ends, LF and a single CR before LF, are taken
      // straight away.
      size_t line_end = *p == '\n' ? 1 : (*p == '\r' && end - p >= 2 && p[1] == '\n') ? 2 : 0;
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
    } else if (c == '\0') {
      // Not text: nothing more is written.
      nul_at_ = fed_ + static_cast<uint64_t>(p - 1 - begin);
      return false;
    } else {
      // The held-back CRs were not part of a line end: they stay.
      if (!EmitPendingCRs(&o)) return false;
      *o++ = c;
    }
  }
  return Emit(stage_, static_cast<size_t>(o - stage_));
}

bool LineEndFilter::Feed(const char* data, size_t size) {
  if (FoundNul()) return false;
  while (size > 0) {
    size_t n = std::min(size, kChunk);
    if (!FeedChunk(data, n)) return false;
    fed_ += n;
    data += n;
    size -= n;
  }
  return true;
}

bool LineEndFilter::Finish() { return !FoundNul() && WritePendingCRsToSink(); }

}  // namespace crv
