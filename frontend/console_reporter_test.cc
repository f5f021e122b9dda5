#include "frontend/console_reporter.h"

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

TEST(UsageTextTest, Layout) {
  std::string console = ConsoleUsageText("\r\n");
  EXPECT_EQ(console.substr(0, 48), "corvane v0.01" + std::string(15, ' ') + "2000.04.16 brastok\r\n");
  EXPECT_EQ(console.find("\r\n" + std::string(56, '-') + "\r\n"), 46u);
  EXPECT_NE(console.find("  -d   delete \\r in line feed. (to unix format)\r\n"), std::string::npos);
  EXPECT_EQ(console.substr(console.size() - 29), "  -p   message before convert");
  std::string windowed = WindowedUsageText();
  EXPECT_EQ(windowed.find('\r'), std::string::npos);
  EXPECT_EQ(windowed.substr(windowed.size() - 43), "  -p[-]  message before convert --- default");
}

}  // namespace
}  // namespace crv
