#include "qvUtils.h"

#include "Streams.h"
#include "StringList.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using testsupport::TzGuard;


std::vector<std::string> Lines(const TStrings& s) {
  std::vector<std::string> v;
  for (int i = 0; i < s.Count(); ++i) v.push_back(s.Strings(i));
  return v;
}

using V = std::vector<std::string>;

TDateTime At(int y, int mo, int d, int h, int mi, int s) {
  return EncodeDate(static_cast<uint16_t>(y), static_cast<uint16_t>(mo), static_cast<uint16_t>(d)) +
         EncodeTime(static_cast<uint16_t>(h), static_cast<uint16_t>(mi), static_cast<uint16_t>(s), 0);
}

constexpr double kSecond = 1.0 / 86400;

}  // namespace

// ---- Mail dates ----

TEST(UtilsMailDate, FormatsWithTheOffsetInForceAtTheDate) {
  struct Case {
    const char* tz;
    TDateTime local;
    const char* expected;
  } cases[] = {
      {"CET-1", At(2026, 3, 5, 9, 4, 7), "Thu, 5 Mar 2026 09:04:07 +0100"},
      {"EST5", At(2026, 12, 8, 1, 38, 26), "Tue, 8 Dec 2026 01:38:26 -0500"},
      {"UTC0", At(2026, 12, 8, 1, 38, 26), "Tue, 8 Dec 2026 01:38:26 +0000"},
      {"IST-5:30", At(2024, 2, 29, 23, 0, 0), "Thu, 29 Feb 2024 23:00:00 +0530"},
      // A summer date formatted in winter still names its own offset.
      {"CET-1CEST,M3.5.0,M10.5.0/3", At(2026, 7, 1, 12, 0, 0), "Wed, 1 Jul 2026 12:00:00 +0200"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", At(2026, 1, 4, 12, 0, 0), "Sun, 4 Jan 2026 12:00:00 +0100"},
  };
  for (const auto& c : cases) {
    TzGuard tz(c.tz);
    EXPECT_EQ(DateTimeToMailTime(c.local), c.expected) << c.tz;
  }
}

TEST(UtilsMailDate, ParsesToLocalTimeAndZone) {
  struct Case {
    const char* text;
    TDateTime utc;
    double zoneMinutes;
  } cases[] = {
      {"Tue, 8 Dec 2026 01:38:26 +0000", At(2026, 12, 8, 1, 38, 26), 0},
      {"Tue,8 Dec 2026 01:38:26 +0000", At(2026, 12, 8, 1, 38, 26), 0},
      {"  Thu, 5 Mar 2026 09:04:07 +0100  ", At(2026, 3, 5, 8, 4, 7), 60},
      {"5 mar 2026 09:04:07 -0530", At(2026, 3, 5, 14, 34, 7), -330},
      {"8 Dec 2026 01:38:26 +0000 (UTC)", At(2026, 12, 8, 1, 38, 26), 0},
      {"8 Dec 2026 1:38:26 PM +0000", At(2026, 12, 8, 13, 38, 26), 0},
      {"8 Dec 2026 12:05:00 AM GMT", At(2026, 12, 8, 0, 5, 0), 0},
      {"8 Dec 2026 12:05:00am +0000", At(2026, 12, 8, 0, 5, 0), 0},
      {"8 Dec 26 01:00:00 +0000", At(1926, 12, 8, 1, 0, 0), 0},
      {"8 Dec 10 01:00:00 +0000", At(2010, 12, 8, 1, 0, 0), 0},
      {"8 Dec 11 01:00:00 +0000", At(1911, 12, 8, 1, 0, 0), 0},
      {"8 Dec 2026 01:38:26", At(2026, 12, 8, 0, 0, 0), 0},  // time not followed by a zone
  };
  TzGuard tz("UTC0");
  for (const auto& c : cases) {
    TDateTime zone = 99;
    EXPECT_NEAR(MailTimeToDateTime(c.text, zone), c.utc, kSecond / 2) << c.text;
    EXPECT_NEAR(zone * 1440, c.zoneMinutes, 1e-6) << c.text;
  }
}

TEST(UtilsMailDate, ResultIsLocalTime) {
  TzGuard tz("CET-1");
  TDateTime zone = 0;
  const TDateTime t = MailTimeToDateTime("Thu, 5 Mar 2026 09:04:07 +0100", zone);
  EXPECT_NEAR(t, At(2026, 3, 5, 9, 4, 7), kSecond / 2);
  EXPECT_NEAR(zone, 1.0 / 24, 1e-9);
  EXPECT_EQ(DateTimeToMailTime(t), "Thu, 5 Mar 2026 09:04:07 +0100");
}

TEST(UtilsMailDate, MissingPartsGiveZeroAndBadNumbersRaise) {
  TzGuard tz("UTC0");
  for (const char* text : {"", "Tue, 8 Dec", "8 Dec 2026", "garbage"})
    EXPECT_EQ(MailTimeToDateTime(text), 0) << text;
  for (const char* text : {"8 Foo 2026 01:00:00 +0000", "x Dec 2026 01:00:00 +0000", "31 Feb 2026 01:00:00 +0000",
                           "8 Dec 2026 25:00:00 +0000"})
    EXPECT_THROW((void)MailTimeToDateTime(text), EConvertError) << text;
}

TEST(UtilsMailDate, TimeZoneText) {
  struct Case {
    const char* zone;
    double minutes;
  } cases[] = {{"+0000", 0}, {"+0100", 60}, {"-0530", -330}, {"+2500", 0}, {"+0160", 0},
               {"GMT", 0},   {"+01", 0},    {"+0x30", 30},   {"-1200", -720}};
  for (const auto& c : cases) EXPECT_NEAR(TimeZoneToDateTime(c.zone) * 1440, c.minutes, 1e-6) << c.zone;
}

TEST(UtilsMailDate, OffsetOfNowAndTimeOfDay) {
  {
    TzGuard tz("EST5");
    EXPECT_EQ(GetTimeZoneBias(), "-0500");
  }
  {
    TzGuard tz("CET-1");
    EXPECT_EQ(GetTimeZoneBias(), "+0100");
  }
  struct Case {
    const char* text;
    int h, m, s;
  } cases[] = {{"13:05:09", 13, 5, 9}, {"1:2", 1, 2, 0}, {"12:30 am", 0, 30, 0}, {"12:30 PM", 12, 30, 0},
               {"11 pm", 23, 0, 0},    {"x:5:6", 0, 5, 6}};
  for (const auto& c : cases)
    EXPECT_NEAR(StrToTimeOfDay(c.text), (c.h * 3600 + c.m * 60 + c.s) * kSecond, 1e-9) << c.text;
  EXPECT_THROW((void)StrToTimeOfDay("10:61:00"), EConvertError);
}

TEST(UtilsMailDate, FileTimeConversion) {
  TzGuard tz("UTC0");
  // 2026-12-08 01:38:26 UTC in 100 ns units since 1601.
  const int64_t ft = (1796693906LL * 10000000LL) + 116444736000000000LL;
  EXPECT_NEAR(FileTimeToLocalDateTime(ft), At(2026, 12, 8, 1, 38, 26), kSecond / 2);
  EXPECT_EQ(FileTimeToLocalDateTime(-1), 0);
}

// ---- Lines ----

TEST(UtilsLines, BatchBoundariesNeverChangeTheLines) {
  const std::string inputs[] = {"ab\r\ncd", "a\rb\nc\r\nd\r\n", "\r\n\r\nx", "one\rtwo\r", "x\n\ny\n"};
  for (const auto& in : inputs) {
    TStringList expected;
    expected.SetText(in);
    for (int batch = 0; batch <= static_cast<int>(in.size()); ++batch) {
      TStringList got;
      TqvStringsUtils u(got);
      u.BatchSize = batch;
      TStringStream s(in);
      (void)u.AddTextStream(s);
      EXPECT_EQ(Lines(got), Lines(expected)) << "batch " << batch << " of " << testing::PrintToString(in);
    }
  }
}

TEST(UtilsLines, StreamProgressNulAndLimit) {
  TStringList list;
  TqvStringsUtils u(list);
  u.BatchSize = 3;
  std::vector<std::pair<int64_t, int64_t>> progress;
  u.OnProgress = [&](TObject*, int64_t done, int64_t total) { progress.emplace_back(done, total); };
  std::string data("xxa\0b\r\ncdefgh", 13);
  TStringStream s(data);
  s.SetPosition(2);
  EXPECT_NE(u.AddTextStream(s), 0);  // last line unfinished
  EXPECT_EQ(Lines(list), (V{"a b", "cdefgh"}));
  EXPECT_EQ(progress, (std::vector<std::pair<int64_t, int64_t>>{{0, 11}, {3, 11}, {6, 11}, {9, 11}}));

  list.Clear();
  TStringStream s2("abc\r\ndefgh\r\n");
  EXPECT_NE(u.AddTextStream(s2, false, 7), 0);
  EXPECT_EQ(Lines(list), (V{"abc", "de"}));
  EXPECT_EQ(s2.Position(), 7);
}

TEST(UtilsLines, AddTextStrAppendsAndReportsUnfinished) {
  TStringList list;
  list.Add("head");
  EXPECT_EQ(AddTextStr(list, "er\r\nnext", true), 8);
  EXPECT_EQ(AddTextStr(list, "\nlast\n", true), 0);
  EXPECT_EQ(AddTextStr(list, "x\ry", false), 3);
  EXPECT_EQ(Lines(list), (V{"header", "next", "last", "x", "y"}));
}

TEST(UtilsLines, Utf8CutByABatchStaysOneCharacter) {
  TStringList list;
  TqvStringsUtils u(list, "utf-8");
  u.BatchSize = 2;
  TStringStream s("a\xE4\xB8\xAD\r\nb");  // "a", U+4E2D, CRLF, "b"
  (void)u.AddTextStream(s);
  EXPECT_EQ(Lines(list), (V{"a\xD6\xD0", "b"}));  // code page 936
}

TEST(UtilsLines, FilesRoundTripAndEmptySaveTruncates) {
  const auto dir = std::filesystem::temp_directory_path() / ("vx_utils_lines_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "m.txt").string();
  TStringList src;
  src.Add("first");
  src.Add(std::string("mid\0dle", 7));
  src.Add("");
  SaveStringsToFile(src, file);
  TStringList back;
  LoadStringsFromFile(file, back);
  EXPECT_EQ(Lines(back), (V{"first", "mid dle", ""}));
  TStringList empty;
  SaveStringsToFile(empty, file);
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
  TStringList untouched;
  untouched.Add("keep");
  LoadStringsFromFile(file, untouched);
  EXPECT_EQ(Lines(untouched), V{"keep"});
  EXPECT_EQ(GetStringsSize(src), 5 + 2 + 7 + 2 + 0 + 2);
  std::filesystem::remove_all(dir);
}

// ---- Strings ----

TEST(UtilsStrings, SplitText) {
  struct Case {
    const char* text;
    char sep;
    bool keep;
    const char* open;
    const char* close;
    V expected;
  } cases[] = {
      {"a \"b c\" d", ' ', false, "\"", "\"", {"a", "b c", "d"}},
      {"a \"b c\" d", ' ', true, "\"", "\"", {"a", "\"b c\"", "d"}},
      {"\"\"", ' ', false, "\"", "\"", {""}},
      {"x\"a b\"", ' ', false, "\"", "\"", {"xa b"}},
      {"  a   b ", ' ', false, "\"", "\"", {"a", "b"}},
      {"\"a\"\"b\"", ' ', false, "\"", "\"", {"a", "b"}},
      {"(a (b c)) {3} \"x y\"", ' ', true, "(\"{", ")\"}", {"(a (b c))", "{3}", "\"x y\""}},
      {"(a \")\" b) c", ' ', true, "(\"", ")\"", {"(a \")", "\" b) c"}},
      {"a,b,,c", ',', false, "\"", "\"", {"a", "b", "c"}},
  };
  for (const auto& c : cases) {
    TStringList list;
    list.Add("stale");
    SplitText(c.text, list, c.sep, c.keep, c.open, c.close);
    EXPECT_EQ(Lines(list), c.expected) << c.text;
  }
  TStringList list;
  EXPECT_THROW(SplitText("a", list, ' ', false, "(\"", ")"), EAssertionFailed);
}

TEST(UtilsStrings, ExtractWordsKeepsEmptyWords) {
  struct Case {
    std::string text;
    const char* delims;
    V expected;
  } cases[] = {
      {"a,,b", ",", {"a", "", "b"}},
      {"a,", ",", {"a", ""}},
      {"", ",", {}},
      {"\x01" "a\t,\r\nb\x02", ",", {"a\t", "b"}},
      {"ex.com.", ".", {"ex", "com", ""}},
      {"a b;c", " ;", {"a", "b", "c"}},
  };
  for (const auto& c : cases) {
    TStringList list;
    ExtractWords(c.text, list, c.delims);
    EXPECT_EQ(Lines(list), c.expected) << testing::PrintToString(c.text);
  }
}

TEST(UtilsStrings, QuotingAndWords) {
  EXPECT_EQ(GetQuotedString(""), "\"\"");
  EXPECT_EQ(GetQuotedString("\"x"), "\"x");
  EXPECT_EQ(GetQuotedString("x\""), "x\"");
  EXPECT_EQ(GetQuotedString("x", '<', '>'), "<x>");
  EXPECT_EQ(ExtractQuotedString("\"x\""), "x");
  EXPECT_EQ(ExtractQuotedString("\""), "\"");
  EXPECT_EQ(ExtractQuotedString("\"x"), "\"x");
  EXPECT_EQ(ExtractQuotedString("<a@b>", '<', '>'), "a@b");
  EXPECT_EQ(AddTrailingChar("", '/'), "");
  EXPECT_EQ(AddTrailingChar("a", '/'), "a/");
  EXPECT_EQ(AddTrailingChar("a/", '/'), "a/");
  EXPECT_EQ(RemoveTrailingChars("ab \r\n", " \r\n"), "ab");
  EXPECT_EQ(WordCount("  a bb  c ", " "), 3);
  EXPECT_EQ(WordPosition(2, "  a bb  c ", " "), 5);
  EXPECT_EQ(WordPosition(4, "  a bb  c ", " "), 0);
  EXPECT_EQ(ExtractWord(3, "1::2:3", ":"), "3");
  EXPECT_EQ(ExtractWord(4, "1::2:3", ":"), "");
  EXPECT_EQ(IndexOfText("B", V{"a", "b"}), 1);
  EXPECT_EQ(IndexOfText("c", V{"a", "b"}), -1);
}

TEST(UtilsStrings, Searching) {
  struct Case {
    bool reverse;
    const char* sub;
    const char* text;
    int start;
    int expected;
  } cases[] = {
      {false, "b", "abcabc", 1, 2}, {false, "b", "abcabc", 3, 5}, {false, "B", "abcabc", 1, 0},
      {false, "b", "abcabc", 0, 0}, {false, "", "abc", 1, 0},     {false, "c", "abc", 4, 0},
      {true, "B", "abcabc", -1, 5}, {true, "b", "abcabc", 4, 2},  {true, "bc", "abcabc", 5, 5},
      {true, "x", "abc", -1, 0},    {true, "abcd", "abc", -1, 0}, {true, "a", "abc", 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.reverse ? RTextPos(c.sub, c.text, c.start) : TextPos(c.sub, c.text, c.start), c.expected)
        << c.sub << " in " << c.text << " from " << c.start;
}

// ---- Bytes ----

TEST(UtilsBytes, Helpers) {
  EXPECT_EQ(TrimLeadingZeroBytes({0, 0}), (TBytes{0, 0}));
  EXPECT_EQ(TrimLeadingZeroBytes({0, 1, 0}), (TBytes{1, 0}));
  EXPECT_EQ(FirstNonZeroByte({}), -1);
  EXPECT_EQ(FirstNonZeroByte({0, 0, 7}), 2);
  EXPECT_EQ(ReverseBytes({1, 2, 3}), (TBytes{3, 2, 1}));
  EXPECT_EQ(BytesToHex({0xAB, 1}, ":"), "AB:01");
  EXPECT_EQ(BytesToHex({0x0F, 0xF0}), "0FF0");
  EXPECT_TRUE(ByteArraysEqual({}, {}));
  EXPECT_FALSE(ByteArraysEqual({1}, {1, 0}));

  TBytes b(6);
  int i = 0;
  PutDWordBE(0x01020304, b, i);
  PutWordBE(0xA0B0, b, i);
  EXPECT_EQ(b, (TBytes{1, 2, 3, 4, 0xA0, 0xB0}));
  EXPECT_EQ(i, 6);
  EXPECT_THROW(PutWordBE(1, b, i), EAssertionFailed);
  i = 0;
  EXPECT_EQ(GetDWordBE(b, i), 0x01020304u);
  EXPECT_EQ(GetWordBE(b, i), 0xA0B0);
  EXPECT_EQ(GetWordBE(b, i), 0);  // past the end: nothing read
  EXPECT_EQ(i, 6);
  i = -1;
  EXPECT_EQ(GetDWordBE(b, i), 0u);
}

TEST(UtilsBytes, BinaryData) {
  TqvBinaryData d;
  d.AssignRange({1, 2, 3, 4}, 2, 10);
  EXPECT_EQ(d.ToBytes(), (TBytes{3, 4}));
  d.AssignRange({1, 2}, -1, 2);
  EXPECT_EQ(d.DataSize, 0);
  EXPECT_EQ(d.Data, nullptr);
  TStringStream s("abcdef");
  s.SetPosition(4);
  d.ReadFromStream(s, 10);
  EXPECT_EQ(d.ToBytes(), (TBytes{'e', 'f'}));
  d.Reduce(1);
  d.Reduce(5);
  EXPECT_EQ(d.ToBytes(), TBytes{'e'});
  d.AssignBytes({'h', 0, 'i', 0, 0, 0});
  EXPECT_EQ(d.ToWideString(), u"hi");
}

// ---- Files ----

class UtilsFiles : public testing::Test {
 protected:
  void SetUp() override {
    FRoot = std::filesystem::temp_directory_path() / ("vx_utils_files_" + std::to_string(getpid()));
    std::filesystem::remove_all(FRoot);
    std::filesystem::create_directories(FRoot);
  }
  void TearDown() override { std::filesystem::remove_all(FRoot); }
  std::string P(const std::string& rel) const { return (FRoot / rel).string(); }
  std::filesystem::path FRoot;
};

TEST_F(UtilsFiles, ForceDirectoryPath) {
  EXPECT_TRUE(ForceDirectoryPath(""));
  EXPECT_TRUE(ForceDirectoryPath("/"));
  EXPECT_TRUE(ForceDirectoryPath(P("t/a/b/")));
  EXPECT_TRUE(std::filesystem::is_directory(P("t/a/b")));
  EXPECT_TRUE(ForceDirectoryPath(P("t/a")));
  std::ofstream(P("plain")) << "x";
  EXPECT_FALSE(ForceDirectoryPath(P("plain")));
  EXPECT_FALSE(ForceDirectoryPath(P("plain/sub")));
  EXPECT_TRUE(ForceFileDirectories(P("f/g/file.txt")));
  EXPECT_TRUE(std::filesystem::is_directory(P("f/g")));
  EXPECT_FALSE(std::filesystem::exists(P("f/g/file.txt")));
}

TEST_F(UtilsFiles, DeleteDirectoryTreeNeverFollowsLinks) {
  std::filesystem::create_directories(P("outside"));
  std::ofstream(P("outside/keep.txt")) << "x";
  std::filesystem::create_directories(P("box/sub/deeper"));
  std::ofstream(P("box/a.msg")) << "x";
  std::ofstream(P("box/sub/deeper/b.msg")) << "x";
  std::filesystem::create_directory_symlink(P("outside"), P("box/sub/link"));
  std::filesystem::create_directory_symlink(P("outside"), P("dirlink"));
  EXPECT_FALSE(DeleteDirectoryTree(P("dirlink")));
  EXPECT_TRUE(DeleteDirectoryTree(P("box")));
  EXPECT_FALSE(std::filesystem::exists(P("box")));
  EXPECT_TRUE(std::filesystem::exists(P("outside/keep.txt")));
  EXPECT_FALSE(DeleteDirectoryTree(P("box")));
}

TEST_F(UtilsFiles, FileTimesRoundTripWithoutTruncating) {
  TzGuard tz("CET-1CEST,M3.5.0,M10.5.0/3");
  const std::string f = P("stamp.txt");
  std::ofstream(f) << "content";
  const TDateTime when = At(2025, 7, 14, 10, 20, 30);
  SetFileDateTime(f, when);
  EXPECT_NEAR(GetFileDateTime(f), when, kSecond / 2);
  EXPECT_EQ(std::filesystem::file_size(f), 7u);
  struct stat st {};
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1752481230);  // 08:20:30 UTC
  const std::string created = P("new.txt");
  SetFileDateTime(created, when);
  EXPECT_TRUE(std::filesystem::exists(created));
  EXPECT_NEAR(GetFileDateTime(P("missing")), Now(), 5 * kSecond);
  EXPECT_FALSE(GetCurrentUserName().empty());
}
