// Fuzzes the line-end filter, with every kernel this processor runs (the
// others are named at start as not tested): for any input and any split of
// it into blocks, the output equals that of the whole input fed as one
// block, and both equal a plain byte-at-a-time statement of the rule; input
// with a NUL byte stops the filter, with false, at its first NUL, after a
// prefix of that output. A sink that fails partway must stop the filter with
// false after a prefix of that output. The change scan, fed the same blocks
// with the same kernel, must find a change exactly when that output differs
// from the input, and a NUL exactly when one comes before the first change.
//
// Input layout: one byte of flags (bit 0: add CRs; bit 1: run-length coded
// text; bits 2 to 4: where a failing sink stops, in eighths of the output;
// bits 5 to 7: the kernel, among those that run, so that each input runs
// one kernel and the fuzzer steers towards each kernel's paths), one byte per
// block size (the sizes are
// used in turn until the text is consumed), a zero byte, then the text.
// With flag 2 set the text is run-length coded as (byte, length code) pairs
// (see RunLength), so that small inputs make runs longer than the filter's
// internal chunk and place them anywhere against its boundaries.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/change_scan.h"
#include "engine/filter_kernel.h"
#include "engine/line_end_filter.h"
#include "engine/line_end_filter_reference.h"

namespace {

// The kernel under test, named when a check fails.
const char* g_kernel_name = "";

// Collects the output; fails every write once `budget` bytes are stored.
class StringSink : public crv::ByteSink {
 public:
  explicit StringSink(size_t budget = SIZE_MAX) : budget_(budget) {}
  bool Write(const char* data, size_t size) override {
    if (failed_) Fail("a write after a failed one");
    if (size > budget_ - out.size()) {
      failed_ = true;
      return false;
    }
    out.append(data, size);
    return true;
  }
  static void Fail(const char* what) {
    fprintf(stderr, "filter fuzzer, kernel %s: %s\n", g_kernel_name, what);
    abort();
  }
  std::string out;

 private:
  size_t budget_;
  bool failed_ = false;
};

// Enough for runs across several of the filter's chunks.
constexpr size_t kMaxText = 2 * crv::LineEndFilter::kChunk + crv::LineEndFilter::kChunk / 2;

// The length of the next run of the text, from one byte: short runs; runs
// that end a given distance before the filter's next chunk boundary (fed as
// one block, the text is cut into chunks at those offsets); and long runs of
// up to a few chunks.
size_t RunLength(uint8_t code, size_t at) {
  constexpr size_t kChunk = crv::LineEndFilter::kChunk;
  if (code < 128) return code;
  if (code < 192) {
    size_t boundary = (at / kChunk + 1) * kChunk;
    size_t before = code - 128u;
    return boundary - before > at ? boundary - before - at : boundary + kChunk - before - at;
  }
  return (code - 191u) * kChunk / 16;
}

// Calls feed(data, size) on `text` in blocks of the given sizes (in turn;
// none: one block) until it returns false; false then.
template <typename Feed>
bool FeedBlocks(const std::string& text, const std::vector<size_t>& sizes, Feed feed) {
  size_t pos = 0;
  for (size_t i = 0; pos < text.size(); ++i) {
    size_t n = sizes.empty() ? text.size() : sizes[i % sizes.size()];
    // A long text goes in at most a few hundred blocks, to keep runs fast.
    if (n != 0) n = std::min(std::max(n, text.size() / 256), text.size() - pos);
    if (!feed(text.data() + pos, n)) return false;
    pos += n;
  }
  return true;
}

constexpr size_t kNone = std::string::npos;

// Filters `text` fed in blocks; false when the filter reported a failure.
// *nul: the offset of the NUL it stopped at, or kNone.
bool Filter(const crv::FilterKernel& kernel, const std::string& text, const std::vector<size_t>& sizes,
            bool add_cr, StringSink* sink, size_t* nul = nullptr) {
  crv::LineEndFilter filter(add_cr, sink, kernel);
  bool done = FeedBlocks(text, sizes, [&](const char* p, size_t n) { return filter.Feed(p, n); }) &&
              filter.Finish();
  if (nul) *nul = filter.FoundNul() ? static_cast<size_t>(filter.NulOffset()) : kNone;
  return done;
}

// The filter's output for `text` in blocks, checked against the rule's
// `want` and the first NUL of the text; `what` names the feeding.
void CheckFilter(const char* what, const crv::FilterKernel& kernel, const std::string& text,
                 const std::vector<size_t>& sizes, bool add_cr, const std::string& want, size_t first_nul) {
  StringSink sink;
  size_t nul;
  bool done = Filter(kernel, text, sizes, add_cr, &sink, &nul);
  if (done != (first_nul == kNone) || nul != first_nul) {
    fprintf(stderr, "%s: ", what);
    StringSink::Fail("stopped at a NUL other than the first one, or went on");
  }
  bool whole = done ? sink.out == want : want.compare(0, sink.out.size(), sink.out) == 0;
  if (!whole) {
    fprintf(stderr, "%s: ", what);
    StringSink::Fail("output differs from the rule's");
  }
}

// Whether the change scan, fed `text` in blocks, finds a change; *nul:
// whether it found a NUL before it.
bool Changes(const crv::FilterKernel& kernel, const std::string& text, const std::vector<size_t>& sizes,
             bool add_cr, bool* nul) {
  crv::ChangeScan scan(add_cr, kernel);
  FeedBlocks(text, sizes, [&](const char* p, size_t n) { return !scan.Feed(p, n); });
  *nul = scan.FoundNul();
  return scan.Finish();
}

std::vector<const crv::FilterKernel*> g_kernels;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (const crv::FilterKernelChoice& k : crv::FilterKernels()) {
    if (k.runs) {
      g_kernels.push_back(k.kernel);
      fprintf(stderr, "filter fuzzer: kernel %s fuzzed\n", k.kernel->name);
    } else {
      fprintf(stderr, "filter fuzzer: kernel %s not tested on this machine (needs %s)\n", k.kernel->name,
              k.needs);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const bool add_cr = flags & 1;
  const crv::FilterKernel& kernel = *g_kernels[(flags >> 5) % g_kernels.size()];
  g_kernel_name = kernel.name;
  size_t i = 1;
  std::vector<size_t> sizes;
  bool all_zero = true;
  for (; i < size && data[i] != 0; ++i) {
    // Sizes 0 to 127, and multiples of 4 KiB (plus or minus one) up to a
    // few chunks.
    uint8_t c = data[i];
    size_t n = c < 128 ? c : (c - 127) * 4096 + (c % 3) - 1;
    sizes.push_back(n);
    if (n) all_zero = false;
  }
  if (all_zero) sizes.clear();
  if (i < size) ++i;  // the zero byte
  std::string text;
  if (flags & 2) {
    for (; i + 1 < size && text.size() < kMaxText; i += 2) {
      text.append(RunLength(data[i + 1], text.size()), static_cast<char>(data[i]));
    }
  } else {
    text.assign(reinterpret_cast<const char*>(data) + i, size - i);
  }

  const std::string want = crv::ReferenceFilter(text, add_cr);
  const size_t first_nul = crv::ReferenceFirstNul(text);
  CheckFilter("one block", kernel, text, {}, add_cr, want, first_nul);
  CheckFilter("blocks", kernel, text, sizes, add_cr, want, first_nul);
  const bool changes = want != text;
  const bool nul_first = first_nul != kNone &&
                         crv::ReferenceFilter(text.substr(0, first_nul), add_cr) == text.substr(0, first_nul);
  bool nul;
  if (Changes(kernel, text, {}, add_cr, &nul) != changes || nul != nul_first) {
    StringSink::Fail("change scan, one block: wrong");
  }
  if (Changes(kernel, text, sizes, add_cr, &nul) != changes || nul != nul_first) {
    StringSink::Fail("change scan, blocks: wrong");
  }

  if (!want.empty()) {
    // A sink that stops storing partway: the filter must report it.
    size_t budget = ((flags >> 2) & 7) * want.size() / 8;
    StringSink failing(budget);
    if (Filter(kernel, text, sizes, add_cr, &failing)) StringSink::Fail("failed sink: true");
    if (want.compare(0, failing.out.size(), failing.out) != 0) {
      StringSink::Fail("failed sink: stored bytes are not a prefix of the output");
    }
  }
  return 0;
}
