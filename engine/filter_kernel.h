// Filter kernels: the block loops of the line-end filter, one per instruction
// set, chosen once at run time from what the processor and the operating
// system support.
#ifndef CRV_ENGINE_FILTER_KERNEL_H_
#define CRV_ENGINE_FILTER_KERNEL_H_

#include <cstddef>
#include <vector>

namespace crv {

// Both functions rewrite whole 64-byte blocks from the start of
// [in, in + size) to *out, advance *out, and return how many input bytes
// they consumed. The caller holds no CR back when it calls them, and they
// leave none: they stop before a block that has a CR followed by a CR (the
// byte after the block counts), and they take a block only while at least
// kKernelLookahead bytes remain. drop_cr drops every CR that stands before
// an LF; add_cr inserts a CR before every LF that has none (and never stops
// right after a CR: such a last CR is left to the caller).
// They may read up to kKernelLookahead bytes from the start of a block and
// write up to kKernelOverreach bytes past the final *out. They set *nul
// when a byte they consumed, or one of the block they stopped before, is
// NUL (and leave it alone otherwise).
constexpr size_t kKernelLookahead = 128;
constexpr size_t kKernelOverreach = 64;

// The change scans (change_scan.h) ask whether a filter would change its
// input: only at an LF can it, when CRs stand before it (drop_cr) or when
// anything but exactly one CR does (add_cr). Both return how many bytes
// from `in`, in whole 64-byte blocks, hold no such LF: they stop at the
// first block that holds one, or where fewer than 64 bytes remain, and read
// nothing outside [in, in + size). `crs_before` is how many CRs directly
// precede `in`, counted up to 2. They set *nul when a byte they passed, or
// one of the block they stopped at, is NUL (and leave it alone otherwise).
struct FilterKernel {
  const char* name;
  size_t (*drop_cr)(const char* in, size_t size, char** out, bool* nul);
  size_t (*add_cr)(const char* in, size_t size, char** out, bool* nul);
  size_t (*scan_drop_cr)(const char* in, size_t size, unsigned crs_before, bool* nul);
  size_t (*scan_add_cr)(const char* in, size_t size, unsigned crs_before, bool* nul);
};

// The best kernel this processor runs; chosen on the first call.
const FilterKernel& BestFilterKernel();

// Every kernel of this build, best first, with whether this processor runs
// it. The portable one (no blocks: the filter's and the change scan's byte
// scans do all the work) is always last and always runs.
struct FilterKernelChoice {
  const FilterKernel* kernel;
  bool runs;
  const char* needs;  // the processor features it needs, for messages
};
std::vector<FilterKernelChoice> FilterKernels();

}  // namespace crv

#endif  // CRV_ENGINE_FILTER_KERNEL_H_
