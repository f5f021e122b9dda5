// The loop that every block kernel shares, written once as a macro so that
// each kernel file compiles it with its own instruction set. The file defines
// TARGET-attributed functions before using it:
//   void Masks(const char* p, uint64_t* cr, uint64_t* lf)
//       bit i set when byte i of the 64 at p is CR (LF);
//   char* Drop(char* o, const char* p, uint64_t drop)
//       copies the 64 bytes at p to o without those marked, returns the end;
//   char* Insert(char* o, const char* p, uint64_t before)
//       copies them with a CR inserted before each byte marked.
// Both may read up to kKernelLookahead bytes from p and write up to
// kKernelOverreach bytes past the end they return. CRV_COPY_STEPS defines
// Drop and Insert for a kernel that has only
//   void Copy64(char* o, const char* p)
//       copies 64 bytes from p to o;
// they copy the bytes between the marked ones in overlapping 64-byte pieces.
#ifndef CRV_ENGINE_KERNELS_BLOCK_LOOPS_H_
#define CRV_ENGINE_KERNELS_BLOCK_LOOPS_H_

#include <cstddef>
#include <cstdint>

#include "engine/filter_kernel.h"

// A CR is followed by a CR: the run's end decides, which the byte scan finds.
#define CRV_CR_RUN(p, cr) (((cr) & (((cr) >> 1) | (uint64_t{(p)[64] == '\r'} << 63))) != 0)

#define CRV_BLOCK_LOOPS(TARGET)                                                          \
  TARGET size_t DropCR(const char* in, size_t size, char** out) {                        \
    const char* p = in;                                                                  \
    char* o = *out;                                                                      \
    while (static_cast<size_t>(in + size - p) >= ::crv::kKernelLookahead) {              \
      uint64_t cr, lf;                                                                   \
      Masks(p, &cr, &lf);                                                                \
      if (CRV_CR_RUN(p, cr)) break;                                                      \
      uint64_t lf_after = (lf >> 1) | (uint64_t{p[64] == '\n'} << 63);                   \
      o = Drop(o, p, cr & lf_after);                                                     \
      p += 64;                                                                           \
    }                                                                                    \
    *out = o;                                                                            \
    return static_cast<size_t>(p - in);                                                  \
  }                                                                                      \
  TARGET size_t AddCR(const char* in, size_t size, char** out) {                         \
    const char* p = in;                                                                  \
    char* o = *out;                                                                      \
    uint64_t cr_before = 0; /* the previous block ended with a CR */                     \
    while (static_cast<size_t>(in + size - p) >= ::crv::kKernelLookahead) {              \
      uint64_t cr, lf;                                                                   \
      Masks(p, &cr, &lf);                                                                \
      if (CRV_CR_RUN(p, cr)) break;                                                      \
      o = Insert(o, p, lf & ~((cr << 1) | cr_before));                                   \
      cr_before = cr >> 63;                                                              \
      /* A constant step keeps the next block's loads off the masks' path. */            \
      p += 64;                                                                           \
    }                                                                                    \
    /* That CR was written last; it is handed back to the byte scan with its LF. */      \
    o -= cr_before;                                                                      \
    p -= cr_before;                                                                      \
    *out = o;                                                                            \
    return static_cast<size_t>(p - in);                                                  \
  }

#define CRV_COPY_STEPS(TARGET)                                                           \
  TARGET inline char* Drop(char* o, const char* p, uint64_t drop) {                      \
    size_t pos = 0;                                                                      \
    for (; drop != 0; drop &= drop - 1) {                                                \
      size_t i = static_cast<size_t>(__builtin_ctzll(drop));                             \
      Copy64(o, p + pos);                                                                \
      o += i - pos;                                                                      \
      pos = i + 1;                                                                       \
    }                                                                                    \
    Copy64(o, p + pos);                                                                  \
    return o + (64 - pos);                                                               \
  }                                                                                      \
  TARGET inline char* Insert(char* o, const char* p, uint64_t before) {                  \
    size_t pos = 0;                                                                      \
    for (; before != 0; before &= before - 1) {                                          \
      size_t i = static_cast<size_t>(__builtin_ctzll(before));                           \
      Copy64(o, p + pos);                                                                \
      o += i - pos;                                                                      \
      *o++ = '\r';                                                                       \
      pos = i;                                                                           \
    }                                                                                    \
    Copy64(o, p + pos);                                                                  \
    return o + (64 - pos);                                                               \
  }

#endif  // CRV_ENGINE_KERNELS_BLOCK_LOOPS_H_
