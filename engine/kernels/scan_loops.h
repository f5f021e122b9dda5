// The change scans' block loops (see FilterKernel in filter_kernel.h), as
// plain functions. Included like block_loops.h, inside a kernel's namespace
// and target region, after its
//   void Masks(const char* p, uint64_t* cr, uint64_t* lf, Least* least)
// and the Least helpers; no include guard. The kernels that share Masks
// share these too, so a kernel whose masks are another's takes that
// kernel's scans.
//
// Each LF of a block is checked against the bytes before it, whose CR bits
// are the block's own mask shifted up, with the previous block's last bits
// (or crs_before) shifted in: no branch per line. The blocks read fold
// their least bytes together, tested for a NUL once at the end.

CRV_KERNEL_ENTRY size_t ScanDropCR(const char* in, size_t size, unsigned crs_before, bool* nul) {
  const char* p = in;
  uint64_t cr_last = crs_before != 0;  // the byte before the block is a CR
  Least least = NoNul(), block;
  for (; static_cast<size_t>(in + size - p) >= 64; p += 64) {
    uint64_t cr, lf;
    Masks(p, &cr, &lf, &block);
    least = Lesser(least, block);
    if ((lf & ((cr << 1) | cr_last)) != 0) break;
    cr_last = cr >> 63;
  }
  if (HasNul(least)) *nul = true;
  return static_cast<size_t>(p - in);
}

CRV_KERNEL_ENTRY size_t ScanAddCR(const char* in, size_t size, unsigned crs_before, bool* nul) {
  const char* p = in;
  // Bit 1: the byte before the block is a CR; bit 0: so is the one before
  // that (as the top two bits of the previous block's mask).
  uint64_t cr_last = crs_before == 0 ? 0 : crs_before == 1 ? 2 : 3;
  Least least = NoNul(), block;
  for (; static_cast<size_t>(in + size - p) >= 64; p += 64) {
    uint64_t cr, lf;
    Masks(p, &cr, &lf, &block);
    least = Lesser(least, block);
    uint64_t cr1 = (cr << 1) | (cr_last >> 1), cr2 = (cr << 2) | cr_last;
    // An LF is kept only after exactly one CR.
    if ((lf & ~(cr1 & ~cr2)) != 0) break;
    cr_last = cr >> 62;
  }
  if (HasNul(least)) *nul = true;
  return static_cast<size_t>(p - in);
}
