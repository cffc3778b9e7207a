#include <gtest/gtest.h>

#include <string>

#include "platform/Text.h"

// The trimmings differ only in which bytes they take for blank; one input per kind of byte.
TEST(Text, EachTrimmingRemovesItsOwnBytesOnly) {
  struct TCase {
    std::string Input, BlanksAndControls, Controls, SpacesAndTabs, Spaces;
  };
  const TCase cases[] = {
      {"", "", "", "", ""},
      {" \t a b \t ", "a b", " \t a b \t ", "a b", "\t a b \t"},
      {"\r\n x \x01", "x", " x ", "\r\n x \x01", "\r\n x \x01"},
      {"\x1f\x20\x21", "!", "\x20\x21", "\x1f\x20\x21", "\x1f\x20\x21"},
      // DEL and bytes from 80 hex on are ordinary characters, never blank.
      {"\x7f\xa0 \xff", "\x7f\xa0 \xff", "\x7f\xa0 \xff", "\x7f\xa0 \xff", "\x7f\xa0 \xff"},
      {" \t\r\n", "", " ", "\r\n", "\t\r\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.Input));
    EXPECT_EQ(TrimBlanksAndControls(c.Input), c.BlanksAndControls);
    EXPECT_EQ(TrimControls(c.Input), c.Controls);
    EXPECT_EQ(TrimSpacesAndTabs(c.Input), c.SpacesAndTabs);
    EXPECT_EQ(TrimSpaces(c.Input), c.Spaces);
  }
}

// Only A-Z and a-z are letters, so the result cannot depend on the program's locale.
TEST(Text, CaseFoldsAsciiLettersOnly) {
  struct TCase {
    std::string A, B;
    bool Same;
  };
  const TCase cases[] = {
      {"ABC xyz", "abc XYZ", true}, {"@[`{", "@[`{", true}, {"@", "`", false}, {"[", "{", false},
      {"\xc4", "\xe4", false},      {"a", "a ", false},     {"", "", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.A + " | " + c.B);
    EXPECT_EQ(SameTextIgnoringCase(c.A, c.B), c.Same);
    EXPECT_EQ(LowerAscii(c.A) == LowerAscii(c.B), c.Same);
  }
  EXPECT_EQ(LowerAscii("MiXeD-Case_\xc4\xd6.TXT"), "mixed-case_\xc4\xd6.txt");
  EXPECT_EQ(UpperAsciiChar('q'), 'Q');
  EXPECT_EQ(UpperAsciiChar('\xe4'), '\xe4');

  EXPECT_TRUE(StartsWithIgnoringCase("total 12", "TOTAL"));
  EXPECT_TRUE(StartsWithIgnoringCase("x", ""));
  EXPECT_FALSE(StartsWithIgnoringCase("tot", "TOTAL"));
  EXPECT_FALSE(StartsWithIgnoringCase(" total", "TOTAL"));
}

TEST(Text, TrailingSlashes) {
  struct TCase {
    std::string Path, With, Without;
  };
  const TCase cases[] = {
      {"", "/", ""},
      {"/", "/", "/"},
      {"//", "//", "/"},
      {"a", "a/", "a"},
      {"/a/b/", "/a/b/", "/a/b"},
      {"/a/b//", "/a/b//", "/a/b"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(WithTrailingSlash(c.Path), c.With);
    EXPECT_EQ(WithoutTrailingSlashes(c.Path), c.Without);
  }
}
