#include "frontend/command_line.h"

#include <gtest/gtest.h>

namespace crv {
namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLineTest, Table) {
  struct Case {
    std::string line;
    Words words;
  } cases[] = {
      {"crv", {}},
      {"crv a.txt", {"a.txt"}},
      {"crv  -d\t a.txt ", {"-d", "a.txt"}},
      {"crv \"my file.txt\"", {"my file.txt"}},
      {"crv a\"b c\"d", {"ab cd"}},
      {"crv \"\" a.txt \"\"", {"a.txt"}},
      {"crv \"\"\"\" \"\" a", {"a"}},
      {"crv a \"", {"a"}},
      {"crv \" a", {" a"}},
      {"crv \"\"x", {"x"}},
      {"crv a\\\"b\\\" c", {"a\\b\\", "c"}},
      {"crv a\x01" "b\x1f" "c", {"a", "b", "c"}},
      {"crv \x82\xa0.txt", {"\x82\xa0.txt"}},
      {"\"C:\\Program Files\\crv.exe\" -p x", {"-p", "x"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

TEST(ParseCommandLineTest, Table) {
  struct Case {
    Words args;
    bool slash_always;
    bool ok;
    std::string file;
    bool add_cr, confirm;
  } cases[] = {
      {{"a.txt"}, false, true, "a.txt", true, false},
      {{"-d", "a.txt"}, false, true, "a.txt", false, false},
      {{"a.txt", "-d", "-c"}, false, true, "a.txt", true, false},
      {{"-c", "-d", "a.txt", "-p"}, false, true, "a.txt", false, true},
      {{"-p", "-p-", "a.txt"}, false, true, "a.txt", true, false},
      {{"/d", "/p", "a.txt"}, true, true, "a.txt", false, true},
      {{"/d", "/p", "a.txt"}, false, true, "a.txt", false, true},
      {{"/tmp/a.txt"}, false, true, "/tmp/a.txt", true, false},
      {{"/"}, false, true, "/", true, false},
      {{"/tmp/a.txt"}, true, false, "", true, false},
      {{"/"}, true, false, "", true, false},
      {{"-"}, false, false, "", true, false},
      {{"-d"}, false, false, "", false, false},
      {{"a.txt", "b.txt"}, false, false, "a.txt", true, false},
      {{"-D", "a.txt"}, false, false, "", true, false},
      {{"-dp", "a.txt"}, false, false, "", true, false},
      {{"--d", "a.txt"}, false, false, "", true, false},
      {{"-d", "", "a.txt"}, false, true, "a.txt", false, false},
      {{}, false, false, "", true, false},
  };
  for (const Case& c : cases) {
    Settings s;
    std::string line;
    for (const auto& a : c.args) line += "[" + a + "]";
    EXPECT_EQ(ParseCommandLine(c.args, c.slash_always, &s), c.ok) << line;
    if (c.ok) {
      EXPECT_EQ(s.FileName, c.file) << line;
      EXPECT_EQ(s.AddCR, c.add_cr) << line;
      EXPECT_EQ(s.Confirm, c.confirm) << line;
    }
  }
}

}  // namespace
}  // namespace crv
