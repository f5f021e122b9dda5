// The filter's rule stated plainly, one byte at a time: the yardstick that
// the unit tests and the fuzzer hold the filter to. A run of CRs directly
// followed by an LF, with that LF, is one line end (CR LF with add_cr, else
// LF); any other byte, a CR among them, stays. A NUL byte stops the filter.
#ifndef CRV_ENGINE_LINE_END_FILTER_REFERENCE_H_
#define CRV_ENGINE_LINE_END_FILTER_REFERENCE_H_

#include <cstddef>
#include <string>

namespace crv {

// Not instrumented for coverage in the fuzzer: it is not the code under
// test, and tracing its per-byte comparisons would make every run many
// times slower.
#if defined(__clang__)
__attribute__((no_sanitize("coverage")))
#endif
inline std::string ReferenceFilter(const std::string& in, bool add_cr) {
  std::string out(2 * in.size(), '\0');
  char* o = &out[0];
  size_t pending = 0;  // CRs whose run has not ended yet
  for (char c : in) {
    if (c == '\r') {
      ++pending;
    } else if (c == '\n') {
      pending = 0;
      if (add_cr) *o++ = '\r';
      *o++ = '\n';
    } else {
      for (; pending > 0; --pending) *o++ = '\r';
      *o++ = c;
    }
  }
  for (; pending > 0; --pending) *o++ = '\r';
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

// Text holds no NUL byte: the filter stops at the first one. Its offset,
// npos when there is none.
inline size_t ReferenceFirstNul(const std::string& in) { return in.find('\0'); }

}  // namespace crv

#endif  // CRV_ENGINE_LINE_END_FILTER_REFERENCE_H_
