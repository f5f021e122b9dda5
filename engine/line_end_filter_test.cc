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

// Feeds `input` in blocks of the given sizes (cycled), then finishes.
std::string FilterWith(const FilterKernel& kernel, const std::string& input, bool add_cr,
                       const std::vector<size_t>& blocks) {
  StringSink sink;
  LineEndFilter filter(add_cr, &sink, kernel);
  size_t pos = 0;
  for (size_t i = 0; pos < input.size(); ++i) {
    size_t n = std::min(blocks[i % blocks.size()], input.size() - pos);
    EXPECT_TRUE(filter.Feed(input.data() + pos, n));
    pos += n;
  }
  EXPECT_TRUE(filter.Finish());
  return sink.out;
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
      {false, std::string("\0\x1a\r\n\0", 5), std::string("\0\x1a\n\0", 4)},
      {true, "\n\n", "\r\n\r\n"},
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
  const char alphabet[] = {'\r', '\n', 'a', '\0'};
  for (int round = 0; round < 2000; ++round) {
    std::string in(rng() % 200, ' ');
    for (char& c : in) c = alphabet[rng() % 4];
    std::vector<size_t> blocks;
    for (int i = 0; i < 5; ++i) blocks.push_back(1 + rng() % 17);
    for (bool add_cr : {true, false}) {
      ASSERT_EQ(Filter(in, add_cr, blocks), ReferenceFilter(in, add_cr)) << "round " << round;
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
  // Line ends, CR runs and lone CRs at every offset of the kernels' 64-byte
  // blocks and of their ends, fed whole and in large pieces.
  std::mt19937 rng(4242);
  const char alphabet[] = {'\r', '\n', 'x', 'y'};
  for (int round = 0; round < 1500; ++round) {
    std::string in(64 + rng() % 400, 'x');
    unsigned density = 2 + rng() % 40;
    for (char& c : in) {
      if (rng() % density == 0) c = alphabet[rng() % 4];
    }
    for (bool add_cr : {true, false}) {
      ASSERT_EQ(Filter(in, add_cr, {1 << 20}), ReferenceFilter(in, add_cr)) << "round " << round;
      ASSERT_EQ(Filter(in, add_cr, {129 + rng() % 200, 64}), ReferenceFilter(in, add_cr))
          << "round " << round;
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
