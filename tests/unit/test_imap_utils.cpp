// IMAP flags, the INTERNALDATE text and its reader, argument words, the
// modified UTF-7 codec of mailbox names, and the shared SASL engine's
// CRAM-MD5 step.
#include <gtest/gtest.h>

#include <cstdlib>

#include "qvImapUtils.h"
#include "qvMailBoxFiles.h"
#include "qvServerSasl.h"

namespace {

// Runs with TZ set, restoring it afterwards.
class TZone {
 public:
  explicit TZone(const char* AZone) {
    if (const char* old = std::getenv("TZ")) FOld = old, FHad = true;
    setenv("TZ", AZone, 1);
    tzset();
  }
  ~TZone() {
    if (FHad)
      setenv("TZ", FOld.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string FOld;
  bool FHad = false;
};

}  // namespace

TEST(ImapUtils, FlagsWrittenAndParsed) {
  EXPECT_EQ(GetImapMessageFlags(MessageFlag(mfSeen) | MessageFlag(mfRecent)), "\\Seen \\Recent");
  EXPECT_EQ(GetImapMessageFlags(0), "");
  EXPECT_EQ(ParseImapMessageFlags("(\\SEEN \\DELETED)"), MessageFlag(mfDeleted) | MessageFlag(mfSeen));
  EXPECT_EQ(ParseImapMessageFlags("(\\Seen)"), 0);
}

TEST(ImapUtils, InternalDateHasTwoDigitFieldsAndReadsBack) {
  TZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const TDateTime t = EncodeDate(2026, 3, 5) + EncodeTime(9, 4, 7, 0);
  EXPECT_EQ(GetImapDateTimeStr(t), " 5-Mar-2026 09:04:07 +0100");
  // Summer time is the offset of that date, not of today.
  EXPECT_EQ(GetImapDateTimeStr(EncodeDate(2026, 7, 15) + EncodeTime(12, 0, 0, 0)), "15-Jul-2026 12:00:00 +0200");
  TDateTime back = 0;
  ASSERT_TRUE(TryImapDateTimeToDateTime(" 5-Mar-2026 09:04:07 +0100", back));
  EXPECT_NEAR(back, t, 1e-8);
  ASSERT_TRUE(TryImapDateTimeToDateTime("05-Mar-2026 08:04:07 +0000", back));
  EXPECT_NEAR(back, t, 1e-8);
  for (const char* bad : {"", "Thu, 5 Mar 2026 09:04:07 +0100", "32-Mar-2026 09:04:07 +0100",
                          "05-Foo-2026 09:04:07 +0100", "05-Mar-2026 9:04:07 +0100", "05-Mar-2026 09:04:07"})
    EXPECT_FALSE(TryImapDateTimeToDateTime(bad, back)) << bad;
}

TEST(ImapUtils, ArgumentWords) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitImapArguments("\"\" *", ismQuotes), (V{"", "*"}));
  EXPECT_EQ(SplitImapArguments("\"a b\"  \"c\\\\d\\\"e\"", ismQuotes), (V{"a b", "c\\d\"e"}));
  EXPECT_EQ(SplitImapArguments("INBOX (MESSAGES UNSEEN)", ismQuotesAndParens), (V{"INBOX", "MESSAGES UNSEEN"}));
  EXPECT_EQ(SplitImapArguments("\"a b\" (\\Seen) \"5-Mar-2026 09:04:07 +0100\" {11}", ismKeepGroups),
            (V{"\"a b\"", "(\\Seen)", "\"5-Mar-2026 09:04:07 +0100\"", "{11}"}));
  EXPECT_EQ(UnquoteImapString("\"a\\\"b\""), "a\"b");
  EXPECT_EQ(QuoteImapString("a\"b\\c"), "\"a\\\"b\\\\c\"");
}

TEST(ImapUtils, ModifiedUtf7RoundTrips) {
  const std::pair<const char*, const char*> cases[] = {
      {"\xC3\xA4", "&AOQ-"},
      {"\xE6\x97\xA5\xE6\x9C\xAC", "&ZeVnLA-"},
      {"Entw\xC3\xBCrfe", "Entw&APw-rfe"},
      {"a&b", "a&-b"},
      {"Sent/\xC3\x84rger", "Sent/&AMQ-rger"},
      {"\xF0\x9F\x98\x80", "&2D3eAA-"},  // U+1F600 as a surrogate pair
      {"Plain ASCII-name_1", "Plain ASCII-name_1"},
  };
  for (const auto& [name, wire] : cases) {
    EXPECT_EQ(TqvImapUtf7Encoder::Encode(name), wire);
    EXPECT_EQ(TqvImapUtf7Encoder::Decode(wire), name);
  }
  EXPECT_EQ(TqvImapUtf7Encoder::Decode("abc&"), "abc");
  EXPECT_EQ(TqvImapUtf7Encoder::Decode("&-"), "&");
  EXPECT_EQ(TqvImapUtf7Encoder::Decode("&AC4ALg-"), "..");
}

TEST(ImapUtils, SafeMailBoxNames) {
  for (const char* ok : {"INBOX", "Work/2026", "[Gmail]/Sent", "Entw\xC3\xBCrfe", "a b"})
    EXPECT_TRUE(IsSafeMailBoxName(ok, '/')) << ok;
  for (const char* bad : {"", "/", "/etc", "a/", "a//b", "..", "a/../b", "./a", "a\\b", "a\tb"})
    EXPECT_FALSE(IsSafeMailBoxName(bad, '/')) << bad;
  EXPECT_FALSE(IsSafeMailBoxName("a/b", '.'));  // "/" inside a level
}

TEST(SaslServerExchange, CramMd5Vector) {
  auto x = TqvSaslServerExchange::CramMd5("<1896.697170952@postoffice.reston.mci.net>");
  EXPECT_EQ(x->FirstChallenge(), "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
  ASSERT_EQ(x->Step("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"), TqvSaslServerExchange::TStatus::Complete);
  EXPECT_EQ(x->UserName(), "tim");
  EXPECT_TRUE(x->CheckDigest("tanstaaftanstaaf"));
  EXPECT_FALSE(x->CheckDigest("other"));
  EXPECT_FALSE(x->CheckDigest(""));
  for (const char* line : {"*", " * ", "%%%", "dGlt"})  // abort, bad base64, one word
    EXPECT_EQ(TqvSaslServerExchange::CramMd5("<c>")->Step(line), TqvSaslServerExchange::TStatus::Aborted) << line;
}

TEST(ImapUtils, ModifiedUtf7WellFormedness) {
  for (const char* good : {"INBOX", "a&-b", "&Jjo-", "&2D3eAQ-", "&AOQ-x&AOQ-", "Entw\xc3\xbc" "rfe", ""})
    EXPECT_TRUE(TqvImapUtf7Encoder::IsWellFormed(good)) << good;
  // Unclosed, foreign characters, printable ASCII encoded, a lone or
  // reversed surrogate, bits left over, raw bytes that are not UTF-8.
  for (const char* bad : {"&Jjo", "&Jj!o-", "&AGE-", "&2D0-", "&3gHYPQ-", "&Jj-", "&AOQA-", "a\xff", "\xc3"})
    EXPECT_FALSE(TqvImapUtf7Encoder::IsWellFormed(bad)) << bad;
}
