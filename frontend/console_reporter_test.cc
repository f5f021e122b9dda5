#include "frontend/console_reporter.h"
#include "frontend/messages.h"

#include <fstream>

#include <gtest/gtest.h>

namespace crv {
namespace {

struct Input {
  std::string bytes;
  size_t pos = 0;
  bool fail_at_end = false;
  platform::ReadResult Read(char* c) {
    if (pos < bytes.size()) {
      *c = bytes[pos++];
      return platform::ReadResult::kData;
    }
    return fail_at_end ? platform::ReadResult::kError : platform::ReadResult::kEnd;
  }
};

TEST(ReadAnswerTest, Table) {
  struct Case {
    std::string input;
    bool ends_at_lf;
    std::string answer;
    size_t consumed;
  } cases[] = {
      {"y\r\nrest", false, "y", 3},
      {"yes\rX", false, "yes", 5},
      {"y\nes\r\n", false, "y\nes", 6},
      {"y\nrest", true, "y", 2},
      {"y", true, "y", 1},
      {"", true, "", 0},
      {"ab\x1a" "cd", false, "ab", 3},
      {"\r\n", true, "", 2},
  };
  for (const Case& c : cases) {
    Input in{c.input};
    auto read = [&in](char* b) { return in.Read(b); };
    EXPECT_EQ(ReadAnswer(read, c.ends_at_lf), c.answer) << c.input;
    EXPECT_EQ(in.pos, c.consumed) << c.input;
  }
}

TEST(ReadAnswerTest, ReadErrorIsAConsoleFailure) {
  Input in{"y", 0, true};
  auto read = [&in](char* b) { return in.Read(b); };
  EXPECT_THROW(ReadAnswer(read, true), ConsoleFailure);
}

TEST(AnswerAgreesTest, OnlyYAndYes) {
  for (const char* yes : {"y", "yes"}) EXPECT_TRUE(AnswerAgrees(yes)) << yes;
  for (const char* no : {"", "Y", "YES", "n", "no", " y", "y ", "yess"}) {
    EXPECT_FALSE(AnswerAgrees(no)) << no;
  }
}

// The expected usage text, `form` (console or windowed) of tests/usage/, the
// copy the end-to-end tests compare the programs' output with, its lines
// joined by `line_break`.
std::string ExpectedUsage(const std::string& form, const char* line_break) {
  std::ifstream in(CRV_USAGE_DIR "/" + form + ".txt");
  EXPECT_TRUE(in) << form;
  std::string text, line;
  while (std::getline(in, line)) text += (text.empty() ? "" : line_break) + line;
  return text;
}

TEST(UsageTextTest, Layout) {
  EXPECT_EQ(ConsoleUsageText("\r\n"), ExpectedUsage("console", "\r\n"));
  EXPECT_EQ(WindowedUsageText(), ExpectedUsage("windowed", "\n"));
}

// A file name is put in as it is, even where it looks like a placeholder.
TEST(WithFileNameTest, NameGoesInVerbatim) {
  EXPECT_EQ(WithFileName("x %s y", "a%s%d.txt"), "x a%s%d.txt y");
}

}  // namespace
}  // namespace crv
