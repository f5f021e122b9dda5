// SSE2 kernel, the x86-64 baseline, which every processor a current 32-bit
// Windows runs on has too: 16-byte compares build the block's masks, and the
// bytes between line ends are copied in 64-byte pieces.
#include "engine/kernels/kernels.h"

#if defined(CRV_X86_KERNELS)

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "engine/kernels/target.h"

namespace crv {
namespace kernels {
namespace {

CRV_TARGET_BEGIN("sse2")

inline void Copy64(char* o, const char* p) {
  for (int i = 0; i < 64; i += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
  }
}

using Least = __m128i;
inline Least NoNul() { return _mm_set1_epi8(-1); }
inline Least Lesser(Least a, Least b) { return _mm_min_epu8(a, b); }
inline bool HasNul(Least least) {
  return _mm_movemask_epi8(_mm_cmpeq_epi8(least, _mm_setzero_si128())) != 0;
}

inline void Masks(const char* p, uint64_t* cr, uint64_t* lf, Least* least) {
  uint64_t c = 0, l = 0;
  __m128i v[4];
  for (int i = 0; i < 4; ++i) {
    v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    c |= uint64_t{static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v[i], _mm_set1_epi8('\r'))))} << 16 * i;
    l |= uint64_t{static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v[i], _mm_set1_epi8('\n'))))} << 16 * i;
  }
  *cr = c;
  *lf = l;
  *least = Lesser(Lesser(v[0], v[1]), Lesser(v[2], v[3]));
}

#include "engine/kernels/copy_steps.h"
#include "engine/kernels/block_loops.h"
#include "engine/kernels/scan_loops.h"

CRV_TARGET_END

}  // namespace

const FilterKernel kSse2 = {"sse2", DropCR, AddCR, ScanDropCR, ScanAddCR};

}  // namespace kernels
}  // namespace crv

#endif
