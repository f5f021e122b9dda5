// Eight bytes at a time in a 64-bit word: the byte scans' step where no
// block kernel runs, and around the kernels' blocks.
#ifndef CRV_ENGINE_BYTE_WORDS_H_
#define CRV_ENGINE_BYTE_WORDS_H_

#include <cstddef>
#include <cstdint>

namespace crv {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are read little-endian");

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Marks zero bytes of `word` with their high bit. The lowest mark is always
// exact (higher ones may be false), and so is the lowest of several such
// masks or-ed together, which is all the scans need.
inline uint64_t ZeroBytes(uint64_t word) { return (word - kOnes) & ~word & kHighs; }

// Marks the bytes of `word` that equal `c`, as ZeroBytes does.
inline uint64_t BytesEqual(uint64_t word, char c) {
  return ZeroBytes(word ^ (kOnes * static_cast<unsigned char>(c)));
}

// Marks the LF and NUL bytes of `word`, as ZeroBytes does, in one test: the
// bytes that 0xF5 masks to zero. It also marks STX and BS (0x02, 0x08),
// which are rare in text, so a scan that stops at a mark checks the byte.
inline uint64_t LfOrNulBytes(uint64_t word) { return ZeroBytes(word & (kOnes * 0xF5)); }

// The index of the lowest marked byte (`marks` not 0).
inline size_t FirstMarked(uint64_t marks) {
  return static_cast<size_t>(__builtin_ctzll(marks)) / 8;
}

}  // namespace crv

#endif  // CRV_ENGINE_BYTE_WORDS_H_
