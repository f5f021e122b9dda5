// AVX2 kernel: 32-byte compares build the block's masks, and the bytes
// between line ends are copied in 64-byte pieces. (A byte shuffle per 8-byte
// group from a table indexed by the group's mask, which has no branch per
// line end, measured slower on text with lines of about 40 bytes.)
#include "engine/kernels/kernels.h"

#if defined(CRV_X86_KERNELS)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engine/kernels/target.h"

namespace crv {
namespace kernels {
namespace {

CRV_TARGET_BEGIN("avx2")

inline uint64_t Bits(__m256i v) { return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(v))}; }

using Least = __m256i;
inline Least NoNul() { return _mm256_set1_epi8(-1); }
inline Least Lesser(Least a, Least b) { return _mm256_min_epu8(a, b); }
inline bool HasNul(Least least) { return Bits(_mm256_cmpeq_epi8(least, _mm256_setzero_si256())) != 0; }

inline void Masks(const char* p, uint64_t* cr, uint64_t* lf, Least* least) {
  __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  __m256i c = _mm256_set1_epi8('\r'), l = _mm256_set1_epi8('\n');
  *cr = Bits(_mm256_cmpeq_epi8(lo, c)) | Bits(_mm256_cmpeq_epi8(hi, c)) << 32;
  *lf = Bits(_mm256_cmpeq_epi8(lo, l)) | Bits(_mm256_cmpeq_epi8(hi, l)) << 32;
  *least = Lesser(lo, hi);
}

inline void Copy64(char* o, const char* p) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 32),
                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
}

#include "engine/kernels/copy_steps.h"
#include "engine/kernels/block_loops.h"
#include "engine/kernels/scan_loops.h"

CRV_TARGET_END

}  // namespace

const FilterKernel kAvx2 = {"avx2", DropCR, AddCR, ScanDropCR, ScanAddCR};

}  // namespace kernels
}  // namespace crv

#endif
