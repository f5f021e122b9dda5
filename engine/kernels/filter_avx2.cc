// AVX2 kernel: 32-byte compares build the block's masks, and each 8-byte
// group is rewritten by one byte shuffle from a table indexed by the group's
// mask, with no branch per line end.
#include "engine/kernels/kernels.h"

#if defined(__x86_64__) && !defined(CRV_PORTABLE_SCAN)

#include <immintrin.h>

#include "engine/kernels/block_loops.h"

namespace crv {
namespace kernels {
namespace {

#define TARGET __attribute__((target("avx2,popcnt")))

struct Tables {
  // kept[m]: the positions of the bytes of a group that mask m keeps.
  alignas(8) uint8_t kept[256][8];
  // with_cr[m]: a group with a CR (lane 8 of the shuffle's source) before
  // each byte that m marks.
  alignas(16) uint8_t with_cr[256][16];
};

constexpr Tables MakeTables() {
  Tables t{};
  for (int m = 0; m < 256; ++m) {
    int k = 0, e = 0;
    for (int j = 0; j < 8; ++j) {
      if (!(m >> j & 1)) t.kept[m][k++] = static_cast<uint8_t>(j);
      if (m >> j & 1) t.with_cr[m][e++] = 8;
      t.with_cr[m][e++] = static_cast<uint8_t>(j);
    }
  }
  return t;
}
constexpr Tables kTables = MakeTables();

TARGET inline uint64_t Bits(__m256i v) { return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(v))}; }

TARGET inline void Masks(const char* p, uint64_t* cr, uint64_t* lf) {
  __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  __m256i c = _mm256_set1_epi8('\r'), l = _mm256_set1_epi8('\n');
  *cr = Bits(_mm256_cmpeq_epi8(lo, c)) | Bits(_mm256_cmpeq_epi8(hi, c)) << 32;
  *lf = Bits(_mm256_cmpeq_epi8(lo, l)) | Bits(_mm256_cmpeq_epi8(hi, l)) << 32;
}

TARGET inline char* Drop(char* o, const char* p, uint64_t drop) {
  for (int g = 0; g < 64; g += 8) {
    unsigned m = static_cast<unsigned>(drop >> g) & 0xff;
    __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + g));
    __m128i order = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kTables.kept[m]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(bytes, order));
    o += 8 - _mm_popcnt_u32(m);
  }
  return o;
}

TARGET inline char* Insert(char* o, const char* p, uint64_t before) {
  const __m128i crs = _mm_set1_epi8('\r');
  for (int g = 0; g < 64; g += 8) {
    unsigned m = static_cast<unsigned>(before >> g) & 0xff;
    __m128i bytes = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + g)), crs);
    __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(kTables.with_cr[m]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(bytes, order));
    o += 8 + _mm_popcnt_u32(m);
  }
  return o;
}

CRV_BLOCK_LOOPS(TARGET)

}  // namespace

const FilterKernel kAvx2 = {"avx2", DropCR, AddCR};

}  // namespace kernels
}  // namespace crv

#endif
