// The one place that picks a filter kernel: by cpuid and by the register
// state the operating system saves (xgetbv), once per process.
#include <cstdint>

#include "engine/filter_kernel.h"
#include "engine/kernels/kernels.h"

#if defined(CRV_X86_KERNELS)
#include <cpuid.h>
#endif

namespace crv {

namespace {

size_t NoBlocks(const char*, size_t, char**, bool*) { return 0; }
size_t NoScan(const char*, size_t, unsigned, bool*) { return 0; }
const FilterKernel kPortable = {"portable", NoBlocks, NoBlocks, NoScan, NoScan};

#if defined(CRV_X86_KERNELS)

struct Features {
  bool sse2 = false;  // always, on x86-64
  bool avx2 = false;
  bool avx512bw = false;
  bool avx512vbmi2 = false;
};

Features Detect() {
  Features f;
  unsigned a, b, c, d;
  // On 32-bit x86, __get_cpuid first checks that cpuid exists at all.
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  f.sse2 = d >> 26 & 1;
  const bool popcnt = c >> 23 & 1, osxsave = c >> 27 & 1, avx = c >> 28 & 1;
  if (!osxsave || !avx || !popcnt) return f;
  unsigned xcr0_lo, xcr0_hi;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  (void)xcr0_hi;
  // The OS saves the XMM and YMM state (bits 1, 2), and for AVX-512 also
  // the mask and upper ZMM registers (bits 5 to 7).
  const bool ymm = (xcr0_lo & 0x06) == 0x06, zmm = (xcr0_lo & 0xe6) == 0xe6;
  if (!ymm || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
  const bool avx2 = b >> 5 & 1, bmi2 = b >> 8 & 1, avx512f = b >> 16 & 1, avx512bw = b >> 30 & 1;
  const bool vbmi2 = c >> 6 & 1;
  f.avx2 = avx2;
  f.avx512bw = zmm && avx512f && avx512bw;
  f.avx512vbmi2 = f.avx512bw && vbmi2 && bmi2;
  return f;
}

#endif

}  // namespace

std::vector<FilterKernelChoice> FilterKernels() {
#if defined(CRV_X86_KERNELS)
  static const Features f = Detect();
  return {
      {&kernels::kAvx512Vbmi2, f.avx512vbmi2, "AVX-512 F, BW, VBMI2, BMI2"},
      {&kernels::kAvx512Bw, f.avx512bw, "AVX-512 F, BW"},
      {&kernels::kAvx2, f.avx2, "AVX2"},
      {&kernels::kSse2, f.sse2, "SSE2"},
      {&kPortable, true, "nothing"},
  };
#else
  return {{&kPortable, true, "nothing"}};
#endif
}

const FilterKernel& BestFilterKernel() {
  static const FilterKernel* const best = [] {
    for (const FilterKernelChoice& k : FilterKernels()) {
      if (k.runs) return k.kernel;
    }
    return &kPortable;
  }();
  return *best;
}

}  // namespace crv
