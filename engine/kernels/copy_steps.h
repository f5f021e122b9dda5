// Drop and Insert (see block_loops.h) for a kernel that has only
//   void Copy64(char* o, const char* p)
//       copies 64 bytes from p to o:
// they copy the bytes between the marked ones in overlapping 64-byte pieces.
// Included like block_loops.h, inside the kernel's namespace and target
// region, before it; no include guard.

// The index of the lowest set bit. In 32-bit mode it is found in the word's
// halves: __builtin_ctzll would call the runtime library there, and spill
// the vector registers around the call.
inline size_t LowestBit(uint64_t bits) {
#if defined(__x86_64__)
  return static_cast<size_t>(__builtin_ctzll(bits));
#else
  uint32_t low = static_cast<uint32_t>(bits);
  return low != 0 ? __builtin_ctz(low) : 32 + __builtin_ctz(static_cast<uint32_t>(bits >> 32));
#endif
}

inline char* Drop(char* o, const char* p, uint64_t drop) {
  size_t pos = 0;
  for (; drop != 0; drop &= drop - 1) {
    size_t i = LowestBit(drop);
    Copy64(o, p + pos);
    o += i - pos;
    pos = i + 1;
  }
  Copy64(o, p + pos);
  return o + (64 - pos);
}

inline char* Insert(char* o, const char* p, uint64_t before) {
  size_t pos = 0;
  for (; before != 0; before &= before - 1) {
    size_t i = LowestBit(before);
    Copy64(o, p + pos);
    o += i - pos;
    *o++ = '\r';
    pos = i;
  }
  Copy64(o, p + pos);
  return o + (64 - pos);
}
