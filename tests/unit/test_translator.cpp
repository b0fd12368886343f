// Charset translation and the code-page layer. Expected bytes of the real
// charsets (cp1251, cp866, iso8859_5, koi8_r, koi8_u, mac_cyrillic, cp1250,
// iso8859_2, gbk) come from python3's codecs, not from the tables under test.
#include "CodePage.h"
#include "Streams.h"
#include "qvTranslator.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::string Str(const TBytes& b) { return std::string(b.begin(), b.end()); }
TBytes Bytes(std::string_view s) { return TBytes(s.begin(), s.end()); }

class CodePageFixture : public testing::Test {
 protected:
  void SetUp() override { plat::SetACP(936); }
  void TearDown() override { plat::SetACP(plat::kDefaultAnsiCodePage); }
};

// "Привет, Мир!" in Windows-1251, the local side the Cyrillic tables assume.
constexpr std::string_view kCyrillic1251 = "\xCF\xF0\xE8\xE2\xE5\xF2\x2C\x20\xCC\xE8\xF0\x21";

TEST(TranslatorTables, CyrillicTextRoundTripsThroughEachTable) {
  struct Case {
    const char* Name;
    std::string_view Charset;
  } cases[] = {
      {"ibm866", "\x8F\xE0\xA8\xA2\xA5\xE2\x2C\x20\x8C\xA8\xE0\x21"},
      {"ISO-8859-5", "\xBF\xE0\xD8\xD2\xD5\xE2\x2C\x20\xBC\xD8\xE0\x21"},
      {"koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4\x2C\x20\xED\xC9\xD2\x21"},
      {"koi8-u", "\xF0\xD2\xC9\xD7\xC5\xD4\x2C\x20\xED\xC9\xD2\x21"},
      {"x-mac-cyrillic", "\x8F\xF0\xE8\xE2\xE5\xF2\x2C\x20\x8C\xE8\xF0\x21"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(TqvTranslator::TranslateTo(c.Name, kCyrillic1251), c.Charset);
    EXPECT_EQ(TqvTranslator::TranslateFrom(c.Name, c.Charset), kCyrillic1251);
    EXPECT_EQ(Str(TqvTranslator::GetBytes(kCyrillic1251, c.Name)), c.Charset);
    EXPECT_EQ(TqvTranslator::GetString(Bytes(c.Charset), c.Name), kCyrillic1251);
  }
  // WIN-KOI8 has the roles swapped: the charset is 1251, the local side KOI8-R
  // ("Почта"; its table leaves "и" alone, so the word has none).
  const std::string_view pochta1251 = "\xCF\xEE\xF7\xF2\xE0", pochtaKoi8 = "\xF0\xCF\xDE\xD4\xC1";
  EXPECT_EQ(TqvTranslator::TranslateFrom("WIN-KOI8", pochta1251), pochtaKoi8);
  EXPECT_EQ(TqvTranslator::TranslateTo("WIN-KOI8", pochtaKoi8), pochta1251);
  EXPECT_EQ(TqvTranslator::TranslateFrom("WIN-KOI8", "\xE8"), "\xE8");
  // ISO-8859-2 against a Windows-1250 local side: "ŠšŚśŹźŽž".
  const std::string_view cp1250 = "\x8A\x9A\x8C\x9C\x8F\x9F\x8E\x9E";
  const std::string_view latin2 = "\xA9\xB9\xA6\xB6\xAC\xBC\xAE\xBE";
  EXPECT_EQ(TqvTranslator::TranslateTo("ISO-8859-2", cp1250), latin2);
  EXPECT_EQ(TqvTranslator::TranslateFrom("ISO-8859-2", latin2), cp1250);
  // KOI8-WIN mends text read as KOI8-R twice: "Почта" in KOI8-R reads as
  // what two koi8_r -> cp1251 passes give.
  EXPECT_EQ(TqvTranslator::TranslateFrom("KOI8-WIN", "\xF0\xCF\xDE\xD4\xC1"), "\xEE\xCD\xC2\xD0\xDE");
}

TEST(TranslatorTables, FixedExceptionsOverrideTheCodePages) {
  struct Case {
    const char* Name;
    bool ToLocal;
    uint8_t In, Out;
  } cases[] = {
      {"ibm866", true, 0xF1, 0xA3},   {"ibm866", false, 0xA3, 0xF1}, {"ibm866", false, 0xB3, 0xF0},
      {"ibm866", true, 0xF2, 0xF2},   {"ibm866", false, 0xB9, 0xB9}, {"koi8-r", true, 0xB8, 0xA3},
      {"koi8-r", false, 0xA3, 0xB8},  {"koi8-r", true, 0x9A, 0x9A},  {"koi8-u", false, 0xB7, 0xB7},
      {"KOI8-WIN", true, 0x9A, 0xDA}, {"KOI8-WIN", true, 0xA1, 0xE7}, {"KOI8-WIN", false, 0xDA, 0x9A},
      {"WIN-KOI8", true, 0x95, 0xFF}, {"WIN-KOI8", true, 0xE7, 0xFF}, {"WIN-KOI8", false, 0xFF, 0xE7},
      {"ISO-8859-5", true, 0x90, 0xA0}, {"ISO-8859-5", true, 0xF0, 0xF0}, {"ISO-8859-5", false, 0xA0, 0x90},
      {"x-mac-cyrillic", true, 0xDD, 0xA8}, {"x-mac-cyrillic", true, 0xDF, 0xFF},
      {"x-mac-cyrillic", false, 0xFF, 0xDF}, {"ISO-8859-2", true, 0xB7, 0xA1},
      {"ISO-8859-2", true, 0xA1, 0xA1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + (c.ToLocal ? " from " : " to ") + std::to_string(c.In));
    std::string in(1, static_cast<char>(c.In));
    std::string out = c.ToLocal ? TqvTranslator::TranslateFrom(c.Name, in) : TqvTranslator::TranslateTo(c.Name, in);
    EXPECT_EQ(static_cast<uint8_t>(out.at(0)), c.Out);
  }
}

TEST(TranslatorTables, AsciiAndIdentityTablesKeepEveryByte) {
  const char* all[] = {"ISO-8859-1", "ISO-8859-2", "Windows-1250", "ibm866", "ISO-8859-5", "koi8-r",
                       "koi8-u", "KOI8-WIN", "WIN-KOI8", "Windows-1251", "x-mac-cyrillic", "Latin1"};
  std::string ascii, every;
  for (int i = 0; i < 128; ++i) ascii.push_back(static_cast<char>(i));
  for (int i = 0; i < 256; ++i) every.push_back(static_cast<char>(i));
  for (const char* name : all) {
    SCOPED_TRACE(name);
    EXPECT_EQ(TqvTranslator::GetCharsetTable(name).Name, name);
    EXPECT_EQ(TqvTranslator::TranslateTo(name, ascii), ascii);
    EXPECT_EQ(TqvTranslator::TranslateFrom(name, ascii), ascii);
  }
  for (const char* name : {"ISO-8859-1", "Windows-1250", "Windows-1251", "Latin1"}) {
    EXPECT_EQ(TqvTranslator::TranslateTo(name, every), every) << name;
    EXPECT_EQ(TqvTranslator::TranslateFrom(name, every), every) << name;
  }
}

TEST(TranslatorTables, NamesMatchIgnoringCaseAndOthersPassUnchanged) {
  EXPECT_EQ(TqvTranslator::TranslateFrom("Koi8-R", "\xC1"), "\xE0");
  EXPECT_EQ(TqvTranslator::TranslateTo("KOI8-R", "\xE0"), "\xC1");
  EXPECT_EQ(TqvTranslator::GetCharsetTable("X-MAC-CYRILLIC").Name, "x-mac-cyrillic");
  const std::string high = "\xC1\xE0\x80\xFF";
  for (const char* name : {"", "utf8", "us-ascii", "gb2312", "gbk", "koi8r", "koi8-r "}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(TqvTranslator::GetCharsetTable(name).Name.empty());
    EXPECT_EQ(Str(TqvTranslator::GetBytes(high, name)), high);
    EXPECT_EQ(TqvTranslator::GetString(Bytes(high), name), high);
  }
  EXPECT_EQ(Str(TqvTranslator::GetBytes(high)), high);
}

TEST(TranslatorUtf8, CodecHandlesFourByteSequencesAndMalformedInput) {
  // U+1F600 then "a": one pair, and the "a" survives.
  EXPECT_EQ(Utf8ToWideString("\xF0\x9F\x98\x80" "a"), (std::u16string{0xD83D, 0xDE00, u'a'}));
  EXPECT_EQ(WideStringToUtf8(std::u16string{0xD83D, 0xDE00, u'a'}), "\xF0\x9F\x98\x80" "a");
  EXPECT_EQ(WideStringToUtf8(u"\u00E9\u4E2D"), "\xC3\xA9\xE4\xB8\xAD");
  EXPECT_EQ(Utf8ToWideString("\xC3\xA9\xE4\xB8\xAD"), u"\u00E9\u4E2D");
  // A lone surrogate is written alone in three bytes and reads back alone.
  EXPECT_EQ(WideStringToUtf8(std::u16string{0xD83D, u'x'}), "\xED\xA0\xBD" "x");
  EXPECT_EQ(Utf8ToWideString("\xED\xA0\xBD"), std::u16string(1, char16_t{0xD83D}));

  struct Case {
    std::string_view In;
    std::u16string Out;
  } malformed[] = {
      {"\xC3\x41" "B", u"\u0080B"},           // the 41 goes with the broken pair
      {"\xC3\x20" "B", u" B"},
      {"\xE4\x41" "B", u"\u0080B"},
      {"\xE4\xB8\x20" "B", u" B"},
      {"\xE4\xB8", u"\u0080"},                // cut off by the end
      {"\xC3", u"\u0080"},
      {"\xF0\x9F\x98" "a", u"\u07D8a"},       // short four-byte form: three-byte reading
      {"\xF8\x88\x80\x80" "a", std::u16string{0x8200, 0x0080}},  // 80 takes the "a"
      {"\xF0\x80\x80\x80", std::u16string{0x0000, 0x0080}},     // overlong: no pair
  };
  for (const Case& c : malformed) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.In)));
    EXPECT_EQ(Utf8ToWideString(c.In), c.Out);
  }
}

TEST(TranslatorUtf8, BoundedFormsStopBeforeWhatDoesNotFit) {
  char out[8];
  const std::u16string text = u"a\u4E2D";
  EXPECT_EQ(Utf8Encode(out, 3, text.data(), text.size()), 1u);
  EXPECT_EQ(Utf8Encode(out, 4, text.data(), text.size()), 4u);
  const std::u16string pair{0xD83D, 0xDE00};
  EXPECT_EQ(Utf8Encode(out, 3, pair.data(), pair.size()), 0u);
  char16_t units[4];
  EXPECT_EQ(Utf8Decode(units, 1, "\xF0\x9F\x98\x80", 4), 0u);
  EXPECT_EQ(Utf8Decode(units, 2, "ab\xC3\xA9", 4), 2u);
}

TEST_F(CodePageFixture, Utf8ThroughCodePage936) {
  const std::string_view zhGbk = "\xD6\xD0\xCE\xC4\xD3\xCA\xBC\xFE";  // 中文邮件
  const std::string_view zhUtf8 = "\xE4\xB8\xAD\xE6\x96\x87\xE9\x82\xAE\xE4\xBB\xB6";
  EXPECT_EQ(Str(TqvTranslator::GetBytes(zhGbk, "utf-8")), zhUtf8);
  EXPECT_EQ(Str(TqvTranslator::GetBytes(zhGbk, "UTF-8")), zhUtf8);
  EXPECT_EQ(TqvTranslator::GetString(Bytes(zhUtf8), "Utf-8"), zhGbk);
  EXPECT_EQ(Str(TqvTranslator::GetBytes("\x80", "utf-8")), "\xE2\x82\xAC");
  EXPECT_EQ(TqvTranslator::GetString(Bytes("\xE2\x82\xAC"), "utf-8"), "\x80");
  EXPECT_EQ(TqvTranslator::GetString(Bytes("\xC3\xA9"), "utf-8"), "\xA8\xA6");
  EXPECT_EQ(TqvTranslator::GetString(Bytes("\xF0\x9F\x98\x80" "a"), "utf-8"), "?a");
  EXPECT_EQ(TqvTranslator::GetString(Bytes("\xC3\x41" "B"), "utf-8"), "?B");
  EXPECT_EQ(TqvTranslator::GetString(Bytes("\xC3\x20"), "utf-8"), " ");
  EXPECT_EQ(TqvTranslator::GetByteCount(zhGbk, "utf-8"), 12);
  // "utf8" is not a name the translator knows.
  EXPECT_EQ(Str(TqvTranslator::GetBytes(zhGbk, "utf8")), zhGbk);
}

TEST_F(CodePageFixture, GetStringStopsAtNulAndClipsRanges) {
  const TBytes b = Bytes(std::string_view("ab\0cd", 5));
  EXPECT_EQ(TqvTranslator::GetString(b, ""), "ab");
  EXPECT_EQ(TqvTranslator::GetString(b, "utf-8"), "ab");
  EXPECT_EQ(TqvTranslator::GetString(b, 3, 2, ""), "cd");
  EXPECT_EQ(TqvTranslator::GetString(b, 3, 100, ""), "cd");
  EXPECT_EQ(TqvTranslator::GetString(b, -2, 4, ""), "ab");
  EXPECT_EQ(TqvTranslator::GetString(b, 9, 2, ""), "");
  EXPECT_EQ(TqvTranslator::GetString(b, 0, 0, ""), "");
  EXPECT_EQ(TqvTranslator::GetString(b.data(), 2, "koi8-r"), "ab");
  EXPECT_EQ(TqvTranslator::GetString(b.data(), 0, ""), "");
  EXPECT_EQ(TqvTranslator::GetString(TBytes{}, "utf-8"), "");

  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(TqvTranslator::GetBytes("\xD6\xD0", buf, "utf-8", 2), 2);
  EXPECT_EQ(std::string(buf, 4), "\xE4\xB8xx");
  EXPECT_EQ(TqvTranslator::GetBytes("ab", buf, "", 4), 2);
  EXPECT_EQ(TqvTranslator::GetBytes("ab", buf, "", -1), 0);
}

TEST(TranslatorStreams, StreamFormsTranslateFromStartAndRestorePositions) {
  TStringStream src("\xC1\xC2" "a");
  TStringStream dst("zzzzz");
  src.SetPosition(2);
  dst.SetPosition(4);
  TqvTranslator::TranslateStreamFrom("koi8-r", src, dst);
  EXPECT_EQ(dst.DataString(), "\xE0\xE1" "azz");
  EXPECT_EQ(src.Position(), 2);
  EXPECT_EQ(dst.Position(), 4);
  TStringStream back;
  TqvTranslator::TranslateStreamTo("koi8-r", dst, back);
  EXPECT_EQ(back.DataString(), "\xC1\xC2" "azz");
  TStringStream copy;
  TqvTranslator::TranslateStreamTo("gb2312", src, copy);
  EXPECT_EQ(copy.DataString(), src.DataString());
}

TEST_F(CodePageFixture, CodePage936ConvertsAndSubstitutes) {
  EXPECT_EQ(plat::GetACP(), 936u);
  EXPECT_EQ(plat::CodePageName(plat::CP_ACP), "CP936");
  EXPECT_EQ(plat::CodePageToWideString("\x80", plat::CP_ACP), u"\u20AC");
  EXPECT_EQ(plat::WideStringToCodePage(u"\u20AC", 936), "\x80");
  EXPECT_EQ(plat::CodePageToWideString("\xD6\xD0\xCE\xC4" "ok", 936), u"中文ok");
  // An invalid byte is "?" and the rest still converts; so is a cut-off pair.
  EXPECT_EQ(plat::CodePageToWideString("a\xFF" "b", 936), u"a?b");
  EXPECT_EQ(plat::CodePageToWideString("a\xD6", 936), u"a?");
  // One "?" per character the code page lacks, lone surrogates included.
  EXPECT_EQ(plat::WideStringToCodePage(std::u16string{u'a', 0xD83D, 0xDE00, u'b'}, 936), "a?b");
  EXPECT_EQ(plat::WideStringToCodePage(std::u16string{0xDE00, u'b', 0xD83D}, 936), "?b?");
  EXPECT_EQ(plat::WideStringToCodePage(u"\u0080", 936), "?");
  // A combining mark joins the letter before it or is dropped.
  EXPECT_EQ(plat::WideStringToCodePage(u"e\u0301", 936), "\xA8\xA6");
  EXPECT_EQ(plat::WideStringToCodePage(u"x\u0301y", 936), "xy");
  EXPECT_EQ(plat::WideStringToCodePage(u"", 936), "");
  EXPECT_EQ(plat::CodePageToWideString("", 936), u"");
  // A large text crosses the converter's internal chunks intact.
  std::string big;
  for (int i = 0; i < 5000; ++i) big += "\xD6\xD0" "a";
  EXPECT_EQ(plat::WideStringToCodePage(plat::CodePageToWideString(big, 936), 936), big);
}

TEST_F(CodePageFixture, OtherCodePagesAndUnknownOnes) {
  plat::SetACP(1251);
  EXPECT_EQ(plat::CodePageName(0), "CP1251");
  EXPECT_EQ(Str(TqvTranslator::GetBytes("\xCF", "utf-8")), "\xD0\x9F");  // П
  plat::SetACP(65001);
  EXPECT_EQ(plat::CodePageName(0), "UTF-8");
  EXPECT_EQ(plat::WideStringToCodePage(std::u16string{0xD83D, 0xDE00}, 0), "\xF0\x9F\x98\x80");
  EXPECT_EQ(plat::CodePageToWideString("a\xC3\xA9", 7), u"a??");
  EXPECT_EQ(plat::WideStringToCodePage(u"a\u00E9", 7), "a?");
}

TEST_F(CodePageFixture, ConcurrentConversionsDoNotInterfere) {
  const std::string zh = "\xD6\xD0\xCE\xC4\xD3\xCA\xBC\xFE";
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        std::string utf8 = Str(TqvTranslator::GetBytes(zh, "utf-8"));
        if (TqvTranslator::GetString(Bytes(utf8), "utf-8") != zh) ++bad[t];
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[t], 0);
}

}  // namespace
