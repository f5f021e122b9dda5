// The loops every block kernel shares, as plain functions. A kernel file
// includes this file inside its own namespace, between CRV_TARGET_BEGIN and
// CRV_TARGET_END (target.h), so that the loops are compiled for its
// instruction set with its block steps inlined; so the file has no include
// guard and includes nothing (<cstddef>, <cstdint> and
// engine/kernels/target.h come first). The kernel defines before it:
//   Least, a vector of bytes, with
//   Least NoNul()                     every lane 0xFF,
//   Least Lesser(Least a, Least b)    the lesser byte of each lane,
//   bool HasNul(Least least)          whether a lane holds 0;
//   void Masks(const char* p, uint64_t* cr, uint64_t* lf, Least* least)
//       bit i set when byte i of the 64 at p is CR (LF); *least: lanes
//       whose least byte is that of the 64 (a NUL makes one 0);
//   char* Drop(char* o, const char* p, uint64_t drop)
//       copies the 64 bytes at p to o without those marked, returns the end;
//   char* Insert(char* o, const char* p, uint64_t before)
//       copies them with a CR inserted before each byte marked
// (copy_steps.h defines Drop and Insert from a 64-byte copy). Both may read
// up to kKernelLookahead bytes from p and write up to kKernelOverreach bytes
// past the end they return.

// A CR of the block is followed by a CR (the byte after the block counts):
// the end of that run decides, which the byte scan finds.
inline bool CrRun(const char* p, uint64_t cr) { return (cr & ((cr >> 1) | (uint64_t{p[64] == '\r'} << 63))) != 0; }

// The blocks read fold their least bytes into `least`, which is tested for a
// NUL once, at the end: no branch per block.
CRV_KERNEL_ENTRY size_t DropCR(const char* in, size_t size, char** out, bool* nul) {
  const char* p = in;
  char* o = *out;
  Least least = NoNul(), block;
  while (static_cast<size_t>(in + size - p) >= ::crv::kKernelLookahead) {
    uint64_t cr, lf;
    Masks(p, &cr, &lf, &block);
    least = Lesser(least, block);
    if (CrRun(p, cr)) break;
    uint64_t lf_after = (lf >> 1) | (uint64_t{p[64] == '\n'} << 63);
    o = Drop(o, p, cr & lf_after);
    p += 64;
  }
  if (HasNul(least)) *nul = true;
  *out = o;
  return static_cast<size_t>(p - in);
}

CRV_KERNEL_ENTRY size_t AddCR(const char* in, size_t size, char** out, bool* nul) {
  const char* p = in;
  char* o = *out;
  uint64_t cr_before = 0;  // the previous block ended with a CR
  Least least = NoNul(), block;
  while (static_cast<size_t>(in + size - p) >= ::crv::kKernelLookahead) {
    uint64_t cr, lf;
    Masks(p, &cr, &lf, &block);
    least = Lesser(least, block);
    if (CrRun(p, cr)) break;
    o = Insert(o, p, lf & ~((cr << 1) | cr_before));
    cr_before = cr >> 63;
    // A constant step keeps the next block's loads off the masks' path.
    p += 64;
  }
  // That CR was written last; it is handed back to the byte scan with its LF.
  o -= cr_before;
  p -= cr_before;
  if (HasNul(least)) *nul = true;
  *out = o;
  return static_cast<size_t>(p - in);
}
