#include "CodePage.h"
#include "PythonOracle.h"
#include "qvIdnTranslator.h"
#include "qvMailUtils.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

namespace {

// RFC 3492 section 7.1 samples (code points -> Punycode without "xn--").
const std::pair<std::u32string, std::string> kRfc3492Samples[] = {
    {U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
     "egbpdaj6bu4bxfgehfvwxn"},
    {U"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
    {U"\u4ED6\u5011\u7232\u4EC0\u9EBD\u4E0D\u8AAA\u4E2D\u6587", "ihqwctvzc91f659drss3x8bo0yb"},
    {U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
    {U"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {U"Maji\u3067Koi\u3059\u308B5\u79D2\u524D", "MajiKoi5-783gue6qz075azm5e"},
    {U"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067", "d9juau41awczczp"},
};

using testsupport::CodePageGuard;

}  // namespace

TEST(IdnPunycode, Rfc3492SamplesAndPython) {
  std::string all;
  for (const auto& [cps, want] : kRfc3492Samples) {
    EXPECT_EQ(TqvIdnTranslator::EncodeLabel(cps), "xn--" + want);
    all += plat::WideStringToCodePage(std::u16string(cps.begin(), cps.end()), plat::CP_UTF8) + "\n";
  }
  // Python's own codec agrees on the same labels.
  const std::string py = testsupport::RunPython(
      "import sys\n"
      "out=[l.encode('punycode').decode() for l in open(sys.argv[1],encoding='utf-8').read().split('\\n') if l]\n"
      "open(sys.argv[2],'w').write('\\n'.join(out))\n",
      all);
  std::string want;
  for (const auto& s : kRfc3492Samples) want += (want.empty() ? "" : "\n") + s.second;
  EXPECT_EQ(py, want);
}

TEST(IdnPunycode, LabelsFromLocalCodePageText) {
  {
    CodePageGuard cp(936);
    // "中文" in GBK: two code points, not four bytes.
    EXPECT_EQ(TqvIdnTranslator::EncodeLabel("\xD6\xD0\xCE\xC4"), "xn--fiq228c");
    EXPECT_EQ(TqvIdnTranslator::EncodeDomain("\xD6\xD0\xCE\xC4.com"), "xn--fiq228c.com");
    // Bytes that are valid UTF-8 are UTF-8 whatever the code page: "bücher".
    EXPECT_EQ(TqvIdnTranslator::EncodeDomain("b\xC3\xBC" "cher.test"), "xn--bcher-kva.test");
    EXPECT_EQ(TqvIdnTranslator::EncodeLabel("\xE4\xB8\xAD\xE6\x96\x87"), "xn--fiq228c");
    // Almost UTF-8 is still the code page's: a lone lead byte, overlong
    // forms, an encoded surrogate, a value past Unicode.
    EXPECT_FALSE(TqvIdnTranslator::DecodeUtf8("\xC3").has_value());
    EXPECT_FALSE(TqvIdnTranslator::DecodeUtf8("\xC0\xAF").has_value());
    EXPECT_FALSE(TqvIdnTranslator::DecodeUtf8("\xE0\x80\xAF").has_value());
    EXPECT_FALSE(TqvIdnTranslator::DecodeUtf8("\xED\xA0\x80").has_value());
    EXPECT_FALSE(TqvIdnTranslator::DecodeUtf8("\xF4\x90\x80\x80").has_value());
    EXPECT_EQ(TqvIdnTranslator::DecodeUtf8("a\xF0\x9F\x98\x80"), std::u32string(U"a\U0001F600"));
  }
  CodePageGuard cp(65001);
  EXPECT_EQ(TqvIdnTranslator::EncodeLabel("b\xC3\xBC" "cher"), "xn--bcher-kva");
  EXPECT_EQ(TqvIdnTranslator::EncodeLabel("MiXed"), "MiXed");
  EXPECT_EQ(TqvIdnTranslator::EncodeLabel(""), "");
  EXPECT_EQ(TqvIdnTranslator::EncodeLabel(U"\u00FC"), "xn--tda");
  EXPECT_EQ(TqvIdnTranslator::EncodeDomain("a.b."), "a.b.");
}

TEST(IdnPunycode, AddressesEncodeOnlyTheDomain) {
  CodePageGuard cp(65001);
  EXPECT_EQ(EmailAddressToIdn("j\xC3\xBCrgen@b\xC3\xBC" "cher.de"), "j\xC3\xBCrgen@xn--bcher-kva.de");
  EXPECT_EQ(EmailAddressToIdn("user@example.com"), "user@example.com");
  EXPECT_EQ(EmailAddressToIdn("no-at-sign"), "no-at-sign");
  EXPECT_EQ(EmailAddressToIdn("a@b@c"), "a@b@c");
}

TEST(IdnPunycode, DigitsAndBias) {
  EXPECT_EQ(TqvIdnTranslator::EncodeDigit(0), 'a');
  EXPECT_EQ(TqvIdnTranslator::EncodeDigit(35), '9');
  try {
    (void)TqvIdnTranslator::EncodeDigit(36);
    FAIL();
  } catch (const EqvIdnError& e) {
    EXPECT_STREQ(e.what(), "Bad input value for the IDN translator");
  }
  EXPECT_EQ(TqvIdnTranslator::Adapt(0, 1, true), 0u);
  // The largest code point with many repeats still fits 31 bits.
  EXPECT_NO_THROW((void)TqvIdnTranslator::EncodeLabel(std::u32string(50, U'\U0010FFFF')));
  // Many basic code points before a large one make delta overflow.
  EXPECT_THROW((void)TqvIdnTranslator::EncodeLabel(std::u32string(3000, U'a') + U'\U0010FFFF'), EqvIdnError);
}

TEST(MessageIds, ShapeAndCounter) {
  const std::regex shape("<[0-9A-F]{8}[0-9A-F]{12}([0-9A-F]{3,})([0-9A-F]{3,})@host\\.example>");
  std::smatch m1, m2;
  const std::string a = GenerateMessageId("host.example");
  const std::string b = GenerateMessageId("host.example");
  ASSERT_TRUE(std::regex_match(a, m1, shape)) << a;
  ASSERT_TRUE(std::regex_match(b, m2, shape)) << b;
  const unsigned long ca = std::stoul(m1[1], nullptr, 16), cb = std::stoul(m2[1], nullptr, 16);
  EXPECT_EQ(cb, ca + 1);
  EXPECT_EQ(std::stoul(m2[2], nullptr, 16), 2 * cb);
  EXPECT_NE(a, b);
}

TEST(MessageIds, ThreadsNeverShareACounterValue) {
  std::vector<std::string> ids[4];
  std::vector<std::thread> threads;
  for (auto& list : ids)
    threads.emplace_back([&list] {
      for (int i = 0; i < 500; ++i) list.push_back(GenerateMessageId("h"));
    });
  for (auto& t : threads) t.join();
  std::set<std::string> counters;
  for (const auto& list : ids)
    for (const auto& id : list) counters.insert(id.substr(21, id.find('@') - 21));
  EXPECT_EQ(counters.size(), 2000u);
}

TEST(MessageIds, ChallengeShape) {
  const std::regex shape("<TALMERIXO-F[0-9]{9,14}\\.[0-9A-F]{14,}@mail\\.x>");
  for (int i = 0; i < 20; ++i) {
    const std::string c = GenerateTalmerixoMessageId("mail.x");
    ASSERT_TRUE(std::regex_match(c, shape)) << c;
    // The random part is below 100 (0x64).
    const std::string tail = c.substr(c.find('.') + 1, c.find('@') - c.find('.') - 1);
    EXPECT_LT(std::stoul(tail.substr(tail.size() - 5), nullptr, 16), 100u);
  }
}
