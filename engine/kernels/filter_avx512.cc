// AVX-512 kernels: one 64-byte compare per byte value builds each mask.
// With VBMI2 the block is rewritten by one byte compress (dropping CRs) or
// two byte expands (inserting them); with BW alone the bytes between line
// ends are copied in 64-byte pieces. The change scans need the masks alone,
// so both kernels share BW's.
#include "engine/kernels/kernels.h"

#if defined(CRV_X86_KERNELS)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engine/kernels/target.h"

namespace crv {
namespace kernels {

namespace bw {
namespace {

CRV_TARGET_BEGIN("avx512f,avx512bw,popcnt")

using Least = __m512i;
inline Least NoNul() { return _mm512_set1_epi8(-1); }
inline Least Lesser(Least a, Least b) { return _mm512_min_epu8(a, b); }
inline bool HasNul(Least least) { return _mm512_testn_epi8_mask(least, least) != 0; }

inline void Masks(const char* p, uint64_t* cr, uint64_t* lf, Least* least) {
  __m512i bytes = _mm512_loadu_si512(p);
  *cr = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\r'));
  *lf = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'));
  *least = bytes;
}

inline void Copy64(char* o, const char* p) { _mm512_storeu_si512(o, _mm512_loadu_si512(p)); }

#include "engine/kernels/copy_steps.h"
#include "engine/kernels/block_loops.h"
#include "engine/kernels/scan_loops.h"

CRV_TARGET_END

}  // namespace
}  // namespace bw

namespace vbmi2 {
namespace {

CRV_TARGET_BEGIN("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt")

using Least = __m512i;
inline Least NoNul() { return _mm512_set1_epi8(-1); }
inline Least Lesser(Least a, Least b) { return _mm512_min_epu8(a, b); }
inline bool HasNul(Least least) { return _mm512_testn_epi8_mask(least, least) != 0; }

inline void Masks(const char* p, uint64_t* cr, uint64_t* lf, Least* least) {
  __m512i bytes = _mm512_loadu_si512(p);
  *cr = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\r'));
  *lf = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'));
  *least = bytes;
}

// Compressed in a register and stored whole: a compress straight to memory
// is much slower on some processors.
inline char* Drop(char* o, const char* p, uint64_t drop) {
  __m512i kept = _mm512_maskz_compress_epi8(~drop, _mm512_loadu_si512(p));
  _mm512_storeu_si512(o, kept);
  return o + 64 - __builtin_popcountll(drop);
}

// Each half of 32 bytes grows to at most 64. The output slots that take an
// input byte are the ones pext picks out of alternating (CR slot, byte slot)
// pairs, where pdep has kept a CR slot only before the marked bytes. In
// 32-bit mode pdep and pext take 32 bits, 16 bytes' slots, so a half's slots
// are joined from two quarters' (slower than one 64-bit step, on x86-64).
#if defined(__x86_64__)
inline uint64_t ByteSlots(uint64_t marks) {
  constexpr uint64_t kByteSlots = 0xAAAAAAAAAAAAAAAAull;
  return _pext_u64(kByteSlots, _pdep_u64(marks, ~kByteSlots) | kByteSlots);
}
#else
inline uint64_t QuarterSlots(uint32_t marks) {
  constexpr uint32_t kByteSlots = 0xAAAAAAAAu;
  return _pext_u32(kByteSlots, _pdep_u32(marks, ~kByteSlots) | kByteSlots);
}
inline uint64_t ByteSlots(uint64_t marks) {
  uint32_t low = static_cast<uint32_t>(marks & 0xffff), high = static_cast<uint32_t>(marks >> 16);
  return QuarterSlots(low) | QuarterSlots(high) << (16 + __builtin_popcount(low));
}
#endif

inline char* Insert(char* o, const char* p, uint64_t before) {
  const __m512i crs = _mm512_set1_epi8('\r');
  for (int h = 0; h < 64; h += 32) {
    uint64_t marks = static_cast<uint32_t>(before >> h);
    uint64_t slots = ByteSlots(marks);
    __m256i half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + h));
    _mm512_storeu_si512(o, _mm512_mask_expand_epi8(crs, slots, _mm512_castsi256_si512(half)));
    o += 32 + __builtin_popcountll(marks);
  }
  return o;
}

#include "engine/kernels/block_loops.h"

CRV_TARGET_END

}  // namespace
}  // namespace vbmi2

const FilterKernel kAvx512Bw = {"avx512bw", bw::DropCR, bw::AddCR, bw::ScanDropCR, bw::ScanAddCR};
const FilterKernel kAvx512Vbmi2 = {"avx512vbmi2", vbmi2::DropCR, vbmi2::AddCR, bw::ScanDropCR, bw::ScanAddCR};

}  // namespace kernels
}  // namespace crv

#endif
