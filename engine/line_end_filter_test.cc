#include "engine/line_end_filter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/kernel_test.h"
#include "engine/line_end_filter_reference.h"

namespace crv {
namespace {

class StringSink : public ByteSink {
 public:
  bool Write(const char* data, size_t size) override {
    out.append(data, size);
    return true;
  }
  std::string out;
};

std::string NulAt(size_t offset) { return "NUL at " + std::to_string(offset); }

// What the filter must make of `input`: the rule's output, or, where the
// input holds a NUL, where the filter stops (as FilterWith says it).
std::string Want(const std::string& input, bool add_cr) {
  size_t nul = ReferenceFirstNul(input);
  return nul == std::string::npos ? ReferenceFilter(input, add_cr) : NulAt(nul);
}

// Feeds `input` in blocks of the given sizes (cycled), then finishes, and
// returns the output; for input with a NUL, which must stop the filter in
// the block that holds it with a prefix of the rule's output written, where
// it stopped.
std::string FilterWith(const FilterKernel& kernel, const std::string& input, bool add_cr,
                       const std::vector<size_t>& blocks) {
  StringSink sink;
  LineEndFilter filter(add_cr, &sink, kernel);
  const size_t nul = ReferenceFirstNul(input);
  size_t pos = 0;
  bool fed = true;
  for (size_t i = 0; fed && pos < input.size(); ++i) {
    size_t n = std::min(blocks[i % blocks.size()], input.size() - pos);
    fed = filter.Feed(input.data() + pos, n);
    EXPECT_EQ(fed, nul == std::string::npos || nul >= pos + n) << "block at " << pos;
    pos += n;
  }
  EXPECT_EQ(filter.Finish(), fed);
  if (!filter.FoundNul()) return sink.out;
  EXPECT_EQ(ReferenceFilter(input, add_cr).compare(0, sink.out.size(), sink.out), 0);
  return NulAt(filter.NulOffset());
}

// Every test runs once per kernel of the build.
class LineEndFilterTest : public KernelTest {
 protected:
  std::string Filter(const std::string& input, bool add_cr, const std::vector<size_t>& blocks) {
    return FilterWith(Kernel(), input, add_cr, blocks);
  }
};

TEST_P(LineEndFilterTest, Examples) {
  struct Case {
    bool add_cr;
    std::string in, out;
  } cases[] = {
      {true, "a\nb", "a\r\nb"},
      {true, "a\r\nb", "a\r\nb"},
      {true, "a\r\r\n", "a\r\n"},
      {true, "a\rb", "a\rb"},
      {true, "a\r", "a\r"},
      {false, "a\r\nb", "a\nb"},
      {false, "a\r\r\r\n", "a\n"},
      {false, "a\n", "a\n"},
      {false, "\r\ra", "\r\ra"},
      {true, "", ""},
      {false, "", ""},
      {true, "\r\r\r", "\r\r\r"},
      {false, "\r\r\r", "\r\r\r"},
      {true, "\r\r\n", "\r\n"},
      {false, "\r\r\n", "\n"},
      {true, "\n\r", "\r\n\r"},
      {false, "\n\r", "\n\r"},
      {true, "x\r\ry\n", "x\r\ry\r\n"},
      {false, "\x01\x1a\r\n\x7f", "\x01\x1a\n\x7f"},
      {true, "ab\x02\x08\ncdefgh\x08\x02\n", "ab\x02\x08\r\ncdefgh\x08\x02\r\n"},
      {true, "\n\n", "\r\n\r\n"},
      // Not text: the first NUL stops the filter, wherever it stands.
      {true, std::string("\0", 1), NulAt(0)},
      {false, std::string("a\r\n\0\0", 5), NulAt(3)},
      {true, std::string("\r\r\0\n", 4), NulAt(2)},
      {false, std::string("\r\0", 2), NulAt(1)},
      {true, std::string(200, 'x') + '\0', NulAt(200)},
      {false, std::string(127, 'x') + "\r\n" + '\0', NulAt(129)},
      {true, std::string(2 * LineEndFilter::kChunk + 3, 'x') + '\0',
       NulAt(2 * LineEndFilter::kChunk + 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Filter(c.in, c.add_cr, {1 << 20}), c.out) << "add_cr=" << c.add_cr << " in=" << c.in;
    EXPECT_EQ(Filter(c.in, c.add_cr, {1}), c.out) << "byte blocks, in=" << c.in;
  }
}

TEST_P(LineEndFilterTest, CRRunSpanningManyBlocks) {
  // 10000 CRs cut into blocks of 7: held back across blocks, then dropped
  // before LF or written in full before another byte.
  std::string crs(10000, '\r');
  EXPECT_EQ(Filter("a" + crs + "\nb", false, {7}), "a\nb");
  EXPECT_EQ(Filter("a" + crs + "b", true, {7}), "a" + crs + "b");
  EXPECT_EQ(Filter(crs, true, {7, 3}), crs);
}

TEST_P(LineEndFilterTest, RandomSplitsMatchReference) {
  std::mt19937 rng(12345);
  const char alphabet[] = {'\r', '\n', 'a', '\x08'};
  for (int round = 0; round < 2000; ++round) {
    std::string in(rng() % 200, ' ');
    for (char& c : in) c = alphabet[rng() % 4];
    if (round % 2 && !in.empty()) in[rng() % in.size()] = '\0';
    std::vector<size_t> blocks;
    for (int i = 0; i < 5; ++i) blocks.push_back(1 + rng() % 17);
    for (bool add_cr : {true, false}) {
      ASSERT_EQ(Filter(in, add_cr, blocks), Want(in, add_cr)) << "round " << round;
    }
  }
}

TEST_P(LineEndFilterTest, RandomTextsMatchReference) {
  // Longer texts where CR and LF are rare, as in real files, with a few
  // lone CRs and CR runs, in both forms and cut into random blocks.
  std::mt19937 rng(777);
  for (int round = 0; round < 300; ++round) {
    std::string in;
    size_t size = rng() % 5000;
    while (in.size() < size) {
      in.append(rng() % 90, 'x');
      switch (rng() % 8) {
        case 0: in += "\r"; break;
        case 1: in += "\r\r\n"; break;
        case 2: case 3: case 4: in += "\n"; break;
        default: in += "\r\n"; break;
      }
    }
    std::vector<size_t> blocks = {1 + rng() % 300, 1 + rng() % 3000, 1 + rng() % 7};
    for (bool add_cr : {true, false}) {
      ASSERT_EQ(Filter(in, add_cr, blocks), ReferenceFilter(in, add_cr)) << "round " << round;
      ASSERT_EQ(Filter(in, add_cr, {1 << 20}), ReferenceFilter(in, add_cr)) << "round " << round;
    }
  }
}

TEST_P(LineEndFilterTest, DenseTextsMatchReference) {
  // Line ends, CR runs, lone CRs and in a third of the texts a NUL at every
  // offset of the kernels' 64-byte blocks and of their ends, fed whole and
  // in large pieces.
  std::mt19937 rng(4242);
  const char alphabet[] = {'\r', '\n', '\x02', 'y'};
  for (int round = 0; round < 1500; ++round) {
    std::string in(64 + rng() % 400, 'x');
    unsigned density = 2 + rng() % 40;
    for (char& c : in) {
      if (rng() % density == 0) c = alphabet[rng() % 4];
    }
    if (round % 3 == 0) in[rng() % in.size()] = '\0';
    for (bool add_cr : {true, false}) {
      ASSERT_EQ(Filter(in, add_cr, {1 << 20}), Want(in, add_cr)) << "round " << round;
      ASSERT_EQ(Filter(in, add_cr, {129 + rng() % 200, 64}), Want(in, add_cr)) << "round " << round;
    }
  }
}

TEST_P(LineEndFilterTest, SinkFailureStopsAtOnce) {
  class FailingSink : public ByteSink {
   public:
    bool Write(const char*, size_t) override {
      ++calls;
      return false;
    }
    int calls = 0;
  } sink;
  LineEndFilter filter(true, &sink, *GetParam().kernel);
  EXPECT_FALSE(filter.Feed("ab\ncd\n", 6));
  EXPECT_EQ(sink.calls, 1);
  LineEndFilter pending(true, &sink, *GetParam().kernel);
  EXPECT_TRUE(pending.Feed("\r", 1));
  EXPECT_FALSE(pending.Finish());
}

INSTANTIATE_TEST_SUITE_P(Kernels, LineEndFilterTest, ::testing::ValuesIn(FilterKernels()), KernelName);

}  // namespace
}  // namespace crv
