// The low text rules every layer shares: the ASCII fold must leave bytes
// above 0x7F alone (code page 936 names and UTF-8 pass unchanged), and the
// order under the fold decides how mailbox files and string lists sort.
#include "AsciiText.h"
#include "CodeTable.h"
#include "TextTrim.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace plat;

TEST(AsciiText, FoldChangesOnlyAsciiLetters) {
  const std::string all = [] {
    std::string s;
    for (int c = 0; c < 256; ++c) s += static_cast<char>(c);
    return s;
  }();
  const std::string lower = AsciiLowerCase(all), upper = AsciiUpperCase(all);
  for (int c = 0; c < 256; ++c) {
    const auto i = static_cast<size_t>(c);
    const bool isUpper = c >= 'A' && c <= 'Z', isLower = c >= 'a' && c <= 'z';
    EXPECT_EQ(lower[i], isUpper ? static_cast<char>(c + 32) : all[i]) << c;
    EXPECT_EQ(upper[i], isLower ? static_cast<char>(c - 32) : all[i]) << c;
  }
  // "[\]^_`" and '@' sit beside the letters: a fold by bit 0x20 would change them.
  EXPECT_FALSE(AsciiSameText("@", "`"));
  EXPECT_FALSE(AsciiSameText("[", "{"));
  EXPECT_FALSE(AsciiSameText("\xC0", "\xE0"));
}

TEST(AsciiText, EqualityPrefixAndSuffixUnderTheFold) {
  struct Case {
    const char* Text;
    const char* Other;
    bool Same, Starts, Ends;
  };
  const Case cases[] = {
      {"UTF-8", "utf-8", true, true, true},     {"Resent-From", "resent-", false, true, false},
      {"cert.P12", ".p12", false, false, true}, {"", "", true, true, true},
      {"ab", "abc", false, false, false},       {"USER12", "user", false, true, false},
      {"\xB2\xE2\xCA\xD4", "\xB2\xE2", false, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AsciiSameText(c.Text, c.Other), c.Same) << c.Text << " / " << c.Other;
    EXPECT_EQ(AsciiStartsWith(c.Text, c.Other), c.Starts) << c.Text << " / " << c.Other;
    EXPECT_EQ(AsciiEndsWith(c.Text, c.Other), c.Ends) << c.Text << " / " << c.Other;
  }
}

TEST(AsciiText, OrderFoldsToTheChosenCaseAndPutsPrefixesFirst) {
  EXPECT_EQ(AsciiCompareText("mail1", "MAIL1"), 0);
  EXPECT_LT(AsciiCompareText("MAIL", "mail1"), 0);
  EXPECT_GT(AsciiCompareText("mail10", "MAIL1"), 0);
  // Bytes compare unsigned: a code page 936 lead byte sorts after ASCII.
  EXPECT_GT(AsciiCompareText("\xB0", "z"), 0);
  // Folding to lower puts "_" before the letters, folding to upper after them.
  EXPECT_LT(AsciiCompareText("_", "a"), 0);
  EXPECT_GT(AsciiCompareText("_", "a", AsciiUpper), 0);
}

TEST(AsciiText, TrimsCutOnlyTheirOwnBytes) {
  struct Case {
    const char* Text;
    TTrim What;
    const char* Want;
  };
  const Case cases[] = {
      {" \t\r\n\x01x y\x1F ", TTrim::BlanksAndControls, "x y"},
      {"\xA1\xA1\x20", TTrim::BlanksAndControls, "\xA1\xA1"},  // a double-byte blank is text
      {"\t key \r", TTrim::BlanksAndTabs, "key \r"},
      {"\t( FLAGS ) ", TTrim::Blanks, "\t( FLAGS )"},
      {"   ", TTrim::Blanks, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TrimView(c.Text, c.What), c.Want) << c.Text;
  // A quoted system message loses its closing stops, not the ones inside.
  EXPECT_EQ(TrimMessageView(" No such file. \r\n"), "No such file");
  EXPECT_EQ(TrimMessageView("Bad data . .\n"), "Bad data");
  EXPECT_EQ(TrimMessageView("v1.2 failed"), "v1.2 failed");
  EXPECT_EQ(TrimMessageView(" ... "), "");
}

TEST(CodeTable, FirstRowWinsAndAMissGivesTheCallersText) {
  static constexpr TCodeText<> kInts[] = {{-1, "first"}, {7, "seven"}, {-1, "shadowed"}};
  static constexpr TCodeText<uint32_t> kWide[] = {{0x80090308u, "token"}};
  EXPECT_STREQ(CodeText(kInts, -1), "first");
  EXPECT_STREQ(CodeText(kInts, 7, "none"), "seven");
  EXPECT_STREQ(CodeText(kInts, 8), "");
  EXPECT_STREQ(CodeText(kInts, 0, "none"), "none");
  EXPECT_EQ(CodeText(kInts, 0, nullptr), nullptr);
  EXPECT_STREQ(CodeText(kWide, 0x80090308u), "token");
  EXPECT_EQ(CodeText(kWide, 0x00090308u, nullptr), nullptr);
  static_assert(CodeText(kInts, 7)[0] == 's', "looked up at compile time");
}

}  // namespace
