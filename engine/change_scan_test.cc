#include "engine/change_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/kernel_test.h"
#include "engine/line_end_filter_reference.h"

namespace crv {
namespace {

// Every test runs once per kernel of the build, and holds the scan to the
// filter's rule: the bytes change when filtering them changes them.
class ChangeScanTest : public KernelTest {
 protected:
  // Feeds `in` cut at the given offsets, each block in an allocation of its
  // own size (so that AddressSanitizer sees a read past it); each Feed's
  // answer must be final once it is true.
  bool Changes(const std::string& in, bool add_cr, std::vector<size_t> cuts = {}) {
    ChangeScan scan(add_cr, Kernel());
    size_t pos = 0;
    bool found = false, last = false;
    cuts.push_back(in.size());
    for (size_t cut : cuts) {
      cut = std::min(std::max(cut, pos), in.size());
      std::vector<char> block(in.begin() + pos, in.begin() + cut);
      last = scan.Feed(block.data(), block.size());
      found = found || last;
      pos = cut;
    }
    EXPECT_TRUE(last || !found) << "a change found was forgotten";
    EXPECT_EQ(scan.Finish(), last);
    EXPECT_EQ(scan.FoundNul(), NulBeforeChange(in, add_cr)) << "add_cr=" << add_cr << " in=" << in;
    return scan.Finish();
  }
  static bool Want(const std::string& in, bool add_cr) { return ReferenceFilter(in, add_cr) != in; }
  // The scan notes the first NUL when the bytes before it need no change.
  static bool NulBeforeChange(const std::string& in, bool add_cr) {
    size_t nul = ReferenceFirstNul(in);
    return nul != std::string::npos && !Want(in.substr(0, nul), add_cr);
  }
};

TEST_P(ChangeScanTest, Examples) {
  struct Case {
    std::string in;
    bool drop_cr_changes, add_cr_changes;
  } cases[] = {
      {"", false, false},           {"a", false, false},
      {"\n", false, true},          {"\r\n", true, false},
      {"\r\r\n", true, true},       {"\r", false, false},
      {"\r\r", false, false},       {"a\rb\r\n", true, false},
      {"a\r\rb\n", false, true},    {"\n\r", false, true},
      {"\r\n\r\n\r", true, false},  {std::string("\0\r\n\0", 4), true, false},
      {"x\r\nx\r\nx\n", true, true},
      {std::string("\r\0\n", 3), false, true},  {std::string("\r\n\0", 3), true, false},
      {std::string(130, 'x') + '\0' + "\r\n", true, false},
      {"ab\x02\x08\r\x08\r\ncdefgh\x02\r\n", true, false},
  };
  for (const Case& c : cases) {
    for (bool add_cr : {false, true}) {
      bool want = add_cr ? c.add_cr_changes : c.drop_cr_changes;
      EXPECT_EQ(Changes(c.in, add_cr), want) << "add_cr=" << add_cr << " in=" << c.in;
      std::vector<size_t> bytes(c.in.size());
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = i;
      EXPECT_EQ(Changes(c.in, add_cr, bytes), want) << "byte blocks, in=" << c.in;
    }
  }
}

TEST_P(ChangeScanTest, OneDefectAtEveryOffset) {
  // Text already in form, with one piece put in at every offset of the
  // kernels' blocks, fed whole and cut around the piece; the last pieces
  // hold a NUL, alone, before a change and after one.
  using namespace std::string_literals;
  for (bool add_cr : {false, true}) {
    std::string base;
    while (base.size() < 300) base += add_cr ? "ab\rc\r\n" : "ab\rc\n";
    ASSERT_FALSE(Changes(base, add_cr));
    for (const std::string& piece :
         {"\r"s, "\n"s, "\r\r"s, "\r\n"s, "\r\r\n"s, "\x08\r"s, "\0"s, "\0\r\r\n"s, "\r\r\n\0"s}) {
      for (size_t at = 0; at <= base.size(); ++at) {
        std::string in = base.substr(0, at) + piece + base.substr(at);
        bool want = Want(in, add_cr);
        ASSERT_EQ(Changes(in, add_cr), want) << "add_cr=" << add_cr << " at " << at;
        for (size_t cut : {at, at + 1, at + 2, at + 64}) {
          ASSERT_EQ(Changes(in, add_cr, {cut}), want) << "add_cr=" << add_cr << " at " << at << " cut " << cut;
        }
      }
    }
  }
}

TEST_P(ChangeScanTest, CRRunSpanningManyBlocks) {
  std::string crs(10000, '\r');
  std::vector<size_t> sevens;
  for (size_t i = 7; i < crs.size(); i += 7) sevens.push_back(i);
  EXPECT_TRUE(Changes("a" + crs + "\n", true, sevens));
  EXPECT_TRUE(Changes("a" + crs + "\n", false, sevens));
  EXPECT_FALSE(Changes("a" + crs + "b\r\n", true, sevens));
  EXPECT_FALSE(Changes(crs, false, sevens));
}

TEST_P(ChangeScanTest, RandomTextsMatchReference) {
  // Texts mostly in form, with CRs not before an LF, and now and then one
  // piece that is not or a NUL, cut into random blocks.
  std::mt19937 rng(2024);
  const std::string pieces[] = {"\n", "\r\n", "\r\r\n", "\r", "\r\r", std::string("\0", 1)};
  for (int round = 0; round < 1000; ++round) {
    bool add_cr = round % 2;
    std::string in;
    size_t size = rng() % 3000;
    while (in.size() < size) {
      in.append(rng() % 80, 'x');
      in += rng() % 150 == 0 ? pieces[rng() % 6] : add_cr ? "\r\n" : "\n";
      if (rng() % 7 == 0) in += "\rx";
    }
    if (rng() % 2 == 0) in.insert(rng() % (in.size() + 1), pieces[rng() % 6]);
    std::vector<size_t> cuts;
    for (size_t pos = rng() % 200; pos < in.size(); pos += 1 + rng() % 400) cuts.push_back(pos);
    ASSERT_EQ(Changes(in, add_cr, cuts), Want(in, add_cr)) << "round " << round;
    ASSERT_EQ(Changes(in, add_cr), Want(in, add_cr)) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ChangeScanTest, ::testing::ValuesIn(FilterKernels()), KernelName);

}  // namespace
}  // namespace crv
