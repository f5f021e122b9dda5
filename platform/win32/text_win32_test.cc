#include "platform/win32/text_win32.h"

#include <gtest/gtest.h>

namespace crv {
namespace win32 {
namespace {

TEST(NamesTest, EveryWideNameComesBackUnchanged) {
  // Each case: a name as Windows gives it, and its form inside the program.
  struct Case {
    std::wstring wide;
    std::string name;
  } cases[] = {
      {L"a b.txt", "a b.txt"},
      {L"na\x00efve.txt", "na\xc3\xafve.txt"},
      {L"\x0442\x0435\x0441\x0442.txt", "\xd1\x82\xd0\xb5\xd1\x81\xd1\x82.txt"},
      {L"\x65e5\x672c.txt", "\xe6\x97\xa5\xe6\x9c\xac.txt"},
      {L"\xd83d\xde00", "\xf0\x9f\x98\x80"},  // a pair: one character
      {L"a\xd800" L"b\xdc00", "a\xed\xa0\x80" "b\xed\xb0\x80"},  // lone surrogates
  };
  for (const Case& c : cases) {
    std::string name = NameFromWide(c.wide.data(), c.wide.size());
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(WideName(name), c.wide) << c.name;
  }
  // A stray byte, which no name from Windows holds, is one replacement
  // character.
  EXPECT_EQ(WideName("a\xff\xc3"), L"a\xfffd\xfffd");
}

TEST(NamesTest, MessagesConvertTextAndNameApart) {
  // "ファイル %s" in code page 932 with a name that code page lacks.
  EXPECT_EQ(WideMessage("\x83\x74\x83\x40\x83\x43\x83\x8b %s.", "na\xc3\xafve"),
            L"\x30d5\x30a1\x30a4\x30eb na\x00efve.");
  EXPECT_EQ(WideMessage("100%", "x"), L"100%");
}

}  // namespace
}  // namespace win32
}  // namespace crv
