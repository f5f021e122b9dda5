// Drop and Insert (see block_loops.h) for a kernel that has only
//   void Copy64(char* o, const char* p)
//       copies 64 bytes from p to o:
// they copy the bytes between the marked ones in overlapping 64-byte pieces.
// Included like block_loops.h, inside the kernel's namespace and target
// region, before it; no include guard.

inline char* Drop(char* o, const char* p, uint64_t drop) {
  size_t pos = 0;
  for (; drop != 0; drop &= drop - 1) {
    size_t i = static_cast<size_t>(__builtin_ctzll(drop));
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
    size_t i = static_cast<size_t>(__builtin_ctzll(before));
    Copy64(o, p + pos);
    o += i - pos;
    *o++ = '\r';
    pos = i;
  }
  Copy64(o, p + pos);
  return o + (64 - pos);
}
