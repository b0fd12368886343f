// The PCRE wrapper and the LIST pattern translation: option flags, error
// texts, offsets advancing over repeated Exec, the backtracking limit, and
// mailbox patterns whose punctuation must match only itself.
#include <gtest/gtest.h>

#include "qvPCRE.h"
#include "qvRegex.h"

namespace {

std::string ErrorOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const EPCRE& e) {
    return e.Message();
  }
  return "(no error)";
}

bool ListMatches(const std::string& AName, const std::string& APattern) {
  return TqvRegEx::Match(AName, MailBoxPatternToRegEx(APattern, "/"), TqvRegEx::rfCaseless);
}

}  // namespace

TEST(Pcre, FlagsSelectCaselessAndMultiLine) {
  EXPECT_TRUE(TqvRegEx::Match("Sent/2020", "^sent/.*$", 2));
  EXPECT_FALSE(TqvRegEx::Match("Sent/2020", "^sent/.*$", 0));
  EXPECT_FALSE(TqvRegEx::Match("a\nb", "^b$", 0));
  EXPECT_TRUE(TqvRegEx::Match("a\nb", "^b$", 4));
  EXPECT_TRUE(TqvRegEx::Match("", "^$", 0));
}

TEST(Pcre, ErrorTexts) {
  EXPECT_EQ(ErrorOf([] { (void)PcreMatch("x", "(a", 0); }).rfind("PCRE/compile: ", 0), 0u);
  EXPECT_EQ(ErrorOf([] {
              TPCRE re(false, 0);
              (void)re.Exec("x", -1);
            }),
            "PCRE/exec: .Exec without .Compile");
  EXPECT_EQ(ErrorOf([] { TPCRE(false, 0).Study(); }), "PCRE/study: .Study without .Compile");
  EXPECT_EQ(ErrorOf([] {
              TPCRE re(false, 0);
              re.Compile("a");
              (void)re.Exec(static_cast<const char*>(nullptr), -1);
            }),
            "PCRE/exec: .Exec without Subject");
}

TEST(Pcre, ExecContinuesBehindTheLastMatch) {
  TPCRE re(true, 0);
  re.Compile("ab");
  EXPECT_EQ(re.MatchCount(), -1);
  EXPECT_TRUE(re.Exec("abab", -1));
  EXPECT_EQ(re.StartOffset(), 2);
  EXPECT_TRUE(re.Exec("abab", -1));
  EXPECT_EQ(re.Offsets()[0], 2);
  EXPECT_FALSE(re.Exec("abab", -1));
  // An explicit offset starts over; a failed Compile keeps nothing.
  EXPECT_TRUE(re.Exec("abab", 0));
  EXPECT_EQ(re.MatchCount(), 1);
  EXPECT_THROW(re.Compile("["), EPCRE);
  EXPECT_FALSE(re.Compiled());
  EXPECT_THROW((void)re.Exec("ab", 0), EPCRE);
}

TEST(Pcre, CapturesAndSubjectUpToNul) {
  TPCRE re(false, 0);
  EXPECT_TRUE(re.Match("(b+)(c)?", std::string("abbx\0bbb", 8)));
  EXPECT_EQ(re.MatchCount(), 2);
  EXPECT_EQ(re.Offsets()[2], 1);
  EXPECT_EQ(re.Offsets()[3], 3);
  EXPECT_EQ(re.SubjectLength(), 4);
}

TEST(Pcre, RunawayBacktrackingIsNoMatch) {
  // Nested quantifiers over a subject that just fails to match take
  // exponential steps without a limit.
  const std::string subject = std::string(40, 'a') + "!";
  TPCRE re(true, 0);
  re.Compile("^(a+)+$");
  EXPECT_FALSE(re.Exec(subject, 0));
  EXPECT_TRUE(re.MatchCount() == -8 || re.MatchCount() == -21) << re.MatchCount();
  std::string many;
  for (int i = 0; i < 30; ++i) many += "*a";
  EXPECT_FALSE(ListMatches(std::string(60, 'a'), many + "*b"));
}

TEST(MailBoxPattern, WildcardsAndLevels) {
  EXPECT_EQ(MailBoxPatternToRegEx("Work/%", "/"), "^Work\\/[^\\/]*$");
  EXPECT_TRUE(ListMatches("INBOX", "*"));
  EXPECT_TRUE(ListMatches("Work/2026", "work/*"));
  EXPECT_TRUE(ListMatches("Work", "%"));
  EXPECT_FALSE(ListMatches("Work/2026", "%"));
  EXPECT_TRUE(ListMatches("Work/2026", "%/%"));
  EXPECT_TRUE(ListMatches("a/b/c", "a/*"));
  EXPECT_FALSE(ListMatches("a/b/c", "a/%"));
  EXPECT_TRUE(ListMatches("x.y", "%"));
  // With no separator "%" crosses levels like "*".
  EXPECT_TRUE(TqvRegEx::Match("a/b", MailBoxPatternToRegEx("%", ""), 0));
}

TEST(MailBoxPattern, PunctuationMatchesOnlyItself) {
  EXPECT_FALSE(ListMatches("Work", "W.rk"));
  EXPECT_TRUE(ListMatches("W.rk", "W.rk"));
  EXPECT_TRUE(ListMatches("[Gmail]/Sent", "[Gmail]/%"));
  EXPECT_FALSE(ListMatches("G/x", "[Gmail]/%"));
  EXPECT_FALSE(ListMatches("a", "a?"));
  EXPECT_FALSE(ListMatches("", "a?"));
  EXPECT_TRUE(ListMatches("a?", "a?"));
  EXPECT_FALSE(ListMatches("x", "x|.*"));
  EXPECT_FALSE(ListMatches("other", "x|.*"));
  EXPECT_FALSE(ListMatches("a", "a["));
  EXPECT_TRUE(ListMatches("a[", "a["));
  for (const std::string name : {"a\\b", "^a$", "a{2}", "(x)", "a+b", "$", "a&-b", "it's", "a,b", "a#b c"})
    EXPECT_TRUE(ListMatches(name, name)) << name;
  EXPECT_FALSE(ListMatches("aa", "a{2}"));
  // UTF-8 bytes pass through as themselves.
  EXPECT_TRUE(ListMatches("Entw\xC3\xBCrfe", "Entw\xC3\xBC%"));
  EXPECT_FALSE(ListMatches("Entw\xC3\x9Crfe", "Entw\xC3\xBC%"));
}
