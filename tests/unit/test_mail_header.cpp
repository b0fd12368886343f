#include "CodePage.h"
#include "PythonOracle.h"
#include "StringList.h"
#include "qvEmailAddress.h"
#include "qvMailHeader.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using H = TqvMailHeaderFieldList;

using testsupport::CodePageGuard;

std::vector<std::string> Split(const std::string& AText, const std::string& ASep) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (size_t k; (k = AText.find(ASep, pos)) != std::string::npos; pos = k + ASep.size())
    out.push_back(AText.substr(pos, k - pos));
  out.push_back(AText.substr(pos));
  return out;
}

// The payload bytes of one encoded word.
std::string WordBytes(const std::string& AWord) {
  const auto parts = Split(AWord, "?");
  if (parts.size() != 5) return "<bad>";
  std::string payload = parts[3];
  if (parts[2] == "Q")
    for (auto& c : payload)
      if (c == '_') c = ' ';
  const TBytes b = TqvEncoder::DecodeTextToBytes(payload, H::MethodOfLetter(parts[2][0]));
  return std::string(b.begin(), b.end());
}

bool WholeUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<uint8_t>(s[i]);
    const size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

bool WholeGbk(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i)
    if (static_cast<uint8_t>(s[i]) >= 0x81 && ++i >= s.size()) return false;
  return true;
}

}  // namespace

TEST(MailHeaderDecode, Rfc2047Section8Examples) {
  const std::pair<const char*, const char*> cases[] = {
      {"(=?ISO-8859-1?Q?a?=)", "(a)"},
      {"(=?ISO-8859-1?Q?a?= b)", "(a b)"},
      {"(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a_b?=)", "(a b)"},
      {"(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)", "(a b)"},
      {"=?US-ASCII?Q?Keith_Moore?= <moore@cs.utk.edu>", "Keith Moore <moore@cs.utk.edu>"},
      {"=?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>", "Keld J\xF8rn Simonsen <keld@dkuug.dk>"},
      {"=?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>", "Andr\xE9 Pirard <PIRARD@vm1.ulg.ac.be>"},
      {"=?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?=\r\n =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?=",
       "If you can read this you understand the example."},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(H::DecodeEncodedWords(in, "iso-8859-1"), want) << in;
}

TEST(MailHeaderDecode, MalformedAndOddWords) {
  EXPECT_EQ(H::DecodeEncodedWords("=?x?X?payload?=", ""), "payload");
  EXPECT_EQ(H::DecodeEncodedWords("a =?iso-8859-1?Q?b", ""), "a =?iso-8859-1?Q?b");
  EXPECT_EQ(H::DecodeEncodedWords("=?iso-8859-1?B?**?= x", ""), "=?iso-8859-1?B?**?= x");
  EXPECT_EQ(H::DecodeEncodedWords("=?iso-8859-1?Q?a=5Fb?=", ""), "a_b");
  // A word followed by folded plain text keeps the fold's whitespace.
  EXPECT_EQ(H::DecodeEncodedWords("=?iso-8859-1?Q?a?=\tb", ""), "a\tb");
  CodePageGuard cp(1251);
  EXPECT_EQ(H::DecodeEncodedWords("a\x80\x9F", "x-mac-cyrillic"), "a\xC0\xDF");
}

TEST(MailHeaderDecode, Utf8CharactersSplitAcrossWordsAreRebuilt) {
  CodePageGuard cp(65001);
  // "€" is E2 82 AC, cut between two words.
  EXPECT_EQ(H::DecodeEncodedWords("=?utf-8?Q?=E2=82?= =?UTF-8?Q?=AC!?=", ""), "\xE2\x82\xAC!");
}

TEST(MailHeaderDecode, LanguageAfterTheCharsetIsIgnored) {
  CodePageGuard cp(1252);
  EXPECT_EQ(H::DecodeEncodedWords("=?utf-8*en?Q?Gr=C3=BC=C3=9Fe?=", ""), "Gr\xFC\xDF" "e");
  EXPECT_EQ(H::DecodeEncodedWords("=?UTF-8*de-DE?B?w7w=?= x", ""), "\xFC x");
}

TEST(MailHeaderEncode, WordsAndMethods) {
  CodePageGuard cp(1252);
  TqvEncodeMethod m = cmNone;
  EXPECT_EQ(H::EncodeWord("Gr\xFC\xDF" "e", "iso-8859-1", m), "=?iso-8859-1?Q?Gr=FC=DFe?=");
  EXPECT_EQ(m, cmQuotedPrintable);
  m = cmNone;
  EXPECT_EQ(H::EncodeWord("\xFC\xFC\xFCx", "iso-8859-1", m).substr(0, 16), "=?iso-8859-1?B?/");
  m = cmQuotedPrintable;
  EXPECT_EQ(H::EncodeWord("a_b c?d \"e\", (f)", "iso-8859-1", m),
            "=?iso-8859-1?Q?a=5Fb_c=3Fd_=22e=22=2C_=28f=29?=");
  m = cmNone;
  EXPECT_EQ(H::EncodeWord("plain", "iso-8859-1", m), "plain");
  m = cmNone;
  // A line break never goes out plain.
  EXPECT_EQ(H::EncodeWord("a\nBcc: x", "iso-8859-1", m), "=?iso-8859-1?B?YQpCY2M6IHg=?=");
  EXPECT_THROW((void)H::EncodeHeaderText("x", "", 0, cmNone), EAssertionFailed);
  EXPECT_EQ(H::EncodeHeaderText("a\xFC", "", 10, cmUUEncode), "a\xFC");
}

TEST(MailHeaderEncode, LongTextBecomesOneWordPerLine) {
  TStringList lines;
  H h("iso-8859-1", 76, cmNone);
  h.Parse(0, &lines);
  h.AddEncodedField("Subject", "Short plain subject");
  EXPECT_EQ(lines.Strings(0), "Subject: Short plain subject");
  const std::string longText(150, 'w');
  h.AddEncodedField("Subject", longText + " end");
  ASSERT_GE(lines.Count(), 4);
  for (int i = 1; i < lines.Count(); ++i) {
    EXPECT_LE(lines.Strings(i).size(), 76u) << i;
    if (i > 1) {
      EXPECT_EQ(lines.Strings(i)[0], '\t');
    }
  }
  h.Parse(0, &lines);
  EXPECT_EQ(H::DecodeEncodedWords(h.GetFieldValue(1), "iso-8859-1"), longText + " end");
  EXPECT_EQ(h.GetDecodedFieldValue(1), longText + " end");
}

TEST(MailHeaderEncode, CutsNeverSplitAMultibyteCharacter) {
  {
    CodePageGuard cp(65001);
    std::string text;
    for (int i = 0; i < 40; ++i) text += "\xE4\xB8\xAD\xE6\x96\x87 ";  // "中文 "
    for (auto m : {cmNone, cmQuotedPrintable, cmBase64}) {
      for (const auto& word : Split(H::EncodeHeaderText(text, "utf-8", 40, m), "\r\n")) {
        EXPECT_LE(word.size(), 40u);
        EXPECT_TRUE(WholeUtf8(WordBytes(word))) << word;
      }
    }
  }
  CodePageGuard cp(936);
  std::string gbk;
  for (int i = 0; i < 50; ++i) gbk += "a\xD6\xD0";
  for (const auto& word : Split(H::EncodeHeaderText(gbk, "gb2312", 30, cmBase64), "\r\n"))
    EXPECT_TRUE(WholeGbk(WordBytes(word))) << word;
}

TEST(MailHeaderAddresses, WriteAndReadLists) {
  CodePageGuard cp(1252);
  TStringList lines;
  H h("iso-8859-1", 76, cmNone);
  h.Parse(0, &lines);
  TqvEmailAddressList list;
  list.AddFullAddress("\"Smith, John\" <john@x.org>");
  list.AddFullAddress("J\xFCrgen M\xFCller <jm@x.de>");
  list.AddFullAddress("plain@z.org");
  h.AddAddressListField("To", list);
  EXPECT_EQ(lines.Strings(0), "To: \"Smith, John\" <john@x.org>,");
  EXPECT_EQ(lines.Strings(1), "\t=?iso-8859-1?Q?J=FCrgen_M=FCller?= <jm@x.de>,");
  TqvEmailAddressList back;
  h.GetAddressList("to", back);
  ASSERT_EQ(back.Count(), 3);
  EXPECT_EQ(back.Items(0)->Name(), "Smith, John");
  EXPECT_EQ(back.Items(1)->Name(), "J\xFCrgen M\xFCller");
  EXPECT_EQ(back.Items(2)->Email(), "plain@z.org");

  TStringList folded;
  folded.SetText("Cc: A <a@x>\r\n\t<b@x>\r\n\t\"q\\\"u, ote\" <c@x>\r\n");
  H f("iso-8859-1", 76, cmNone);
  f.Parse(0, &folded);
  EXPECT_EQ(f.GetTrimmedFieldValue(0), "A <a@x>,\t<b@x>,\t\"q\\\"u, ote\" <c@x>");
  f.GetAddressList(0, back);
  ASSERT_EQ(back.Count(), 3);
  EXPECT_EQ(back.Items(2)->Name(), "q\"u, ote");

  h.AddEncodedAddressField("From", "Andr\xE9 <andre@x.org>");
  EXPECT_EQ(h.GetDecodedAddress("from"), "Andr\xE9 <andre@x.org>");
}

TEST(MailHeaderAddresses, LongAddressIsCutAndRejoined) {
  TStringList lines;
  H h("iso-8859-1", 40, cmNone);
  h.Parse(0, &lines);
  const std::string addr = std::string(50, 'l') + "@example.org";
  h.AddEncodedAddressField("From", "Some Name <" + addr + ">");
  EXPECT_GT(lines.Count(), 2);
  EXPECT_EQ(h.GetDecodedAddress("from"), "\"Some Name\" <" + addr + ">");
}

TEST(MailHeaderAddresses, OnlyAddressFieldsGetCommasAtFolds) {
  TStringList lines;
  lines.SetText("References: <a@x>\r\n <b@x>\r\nReceived: from h by m id <q@m>\r\n\tfor <u@v>; now\r\n"
                "Resent-Cc: <a@x>\r\n <b@x>\r\n");
  H h("iso-8859-1", 76, cmNone);
  h.Parse(0, &lines);
  EXPECT_EQ(h.GetTrimmedFieldValue(0), "<a@x> <b@x>");
  EXPECT_EQ(h.GetTrimmedFieldValue(1), "from h by m id <q@m>\tfor <u@v>; now");
  EXPECT_EQ(h.GetTrimmedFieldValue(2), "<a@x>, <b@x>");
}

TEST(MailHeaderSubject, KeepsLeadingBlanks) {
  TStringList lines;
  lines.SetText("Subject:   spaced\r\nTo:   a@b\r\n");
  H h("iso-8859-1", 76, cmNone);
  h.Parse(0, &lines);
  EXPECT_EQ(h.GetTrimmedFieldValue(0), "  spaced");
  EXPECT_EQ(h.GetTrimmedFieldValue(1), "a@b");
}

TEST(MailHeaderParameters, Rfc2231Examples) {
  H h("iso-8859-1", 76, cmNone);
  EXPECT_EQ(h.GetParameter("message/external-body; access-type=URL; URL*0=\"ftp://\"; "
                           "URL*1=\"cs.utk.edu/pub/moore/bulk-mailer/bulk-mailer.tar\"",
                           "URL*"),
            "ftp://cs.utk.edu/pub/moore/bulk-mailer/bulk-mailer.tar");
  EXPECT_EQ(h.GetParameter("application/x-stuff; title*=us-ascii'en-us'This%20is%20%2A%2A%2Afun%2A%2A%2A", "title*"),
            "This is ***fun***");
  EXPECT_EQ(h.GetParameter("application/x-stuff; title*0*=us-ascii'en'This%20is%20even%20more%20; "
                           "title*1*=%2A%2A%2Afun%2A%2A%2A%20; title*2=\"isn't it!\"",
                           "title*"),
            "This is even more ***fun*** isn't it!");
  EXPECT_FALSE(h.ReadingExtendedParameter);
  EXPECT_EQ(h.GetParameter("a; name=\"=?iso-8859-1?Q?x=FC?=\"", "name"), "x\xFC");
  EXPECT_EQ(h.GetParameter("a; t*0=plain; t*1*=%20more", "t*"), "plain more");
  CodePageGuard cp(65001);
  EXPECT_EQ(h.GetParameter("attachment; filename*=utf-8''%E2%82%AC", "filename*"), "\xE2\x82\xAC");
}

TEST(MailHeaderParameters, CharacterSplitBetweenSegmentsSurvives) {
  CodePageGuard cp(1252);
  H h("iso-8859-1", 76, cmNone);
  // "ü" is C3 BC in UTF-8, cut between segments 0 and 1.
  EXPECT_EQ(h.GetParameter("attachment; filename*0*=utf-8''Gr%C3; filename*1*=%BC%C3%9Fe; filename*2=\".txt\"",
                           "filename*"),
            "Gr\xFC\xDF" "e.txt");
}

TEST(MailHeaderParameters, WriterEscapesSoFileNamesSurvive) {
  TqvRfc2231HeaderEncoder enc;
  EXPECT_EQ(enc.Encode("100% \"a\" (b);=.txt", "utf-8", ""), "utf-8''100%25%20%22a%22%20%28b%29%3B%3D.txt");
  EXPECT_EQ(enc.Decode("100%"), "100%");
  EXPECT_EQ(enc.Encode("x", "", "en"), "x");
  EXPECT_EQ(enc.Language, "");
  TqvPercentEncoder plain;
  EXPECT_EQ(plain.EncodeString("a b\x01\xFF", ""), "a b%01%FF");
  const TBytes kept = plain.DecodeToBytes("%4Z%41");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "%4ZA");
  plain.KeepEscapes = true;
  plain.SetExtraChars(" ");
  EXPECT_EQ(plain.EncodeString("%41 %zz", ""), "%41%20%zz");

  CodePageGuard cp(65001);
  TStringList lines;
  lines.Add("Content-Disposition: attachment");
  H h("utf-8", 76, cmNone);
  h.Parse(0, &lines);
  std::string name;
  for (int i = 0; i < 12; ++i) name += "\xE2\x82\xAC 100% \"x\";";
  h.AddParameter("content-disposition", "filename*", name);
  ASSERT_GT(lines.Count(), 2);
  EXPECT_EQ(lines.Strings(1).substr(0, 23), "\tfilename*0*=utf-8''%E2");
  h.Parse(0, &lines);
  EXPECT_EQ(h.GetParameter(h.GetFieldValue("content-disposition"), "filename*"), name);
  h.AddParameter(0, "name", "plain.txt");
  h.Parse(0, &lines);
  EXPECT_EQ(h.GetParameter(h.GetFieldValue(0), "name"), "plain.txt");
  h.AddParameter(0, "title", "say \"hi\" now");
  h.Parse(0, &lines);
  EXPECT_EQ(h.GetParameter(h.GetFieldValue(0), "title"), "say \"hi\" now");
}

namespace {

const std::string kSubject =
    "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x80\x94 ein ziemlich langer Betreff, der sicher gefaltet wird "
    "\xE6\x96\x87\xE4\xBB\xB6 \xE2\x9C\x93";
const std::string kFromName = "J\xC3\xBCrgen M\xC3\xBCller";
const std::string kFileName = "\xC3\x9C" "berweisung M\xC3\xA4rz 2026 \xE2\x80\x94 Rechnung Nr. 1234567890 100% lang.pdf";
const std::vector<std::pair<std::string, std::string>> kTo = {
    {"Smith, John", "john@x.org"}, {"Zo\xC3\xAB \xC3\x9Cnal", "zoe@y.org"}, {"", "plain@z.org"}};

std::string OracleInput() {
  std::string s = kSubject + "\n" + kFromName + "\n" + kFileName + "\n";
  for (const auto& [n, a] : kTo) s += n + "\n" + a + "\n";
  return s;
}

}  // namespace

TEST(MailHeaderPython, WeReadWhatPythonWrites) {
  CodePageGuard cp(65001);
  const std::string text = testsupport::RunPython(
      "import sys, email.policy\n"
      "from email.message import EmailMessage\n"
      "from email.headerregistry import Address\n"
      "v=open(sys.argv[1],encoding='utf-8').read().split('\\n')\n"
      "m=EmailMessage(policy=email.policy.SMTP)\n"
      "m['Subject']=v[0]\n"
      "m['From']=Address(display_name=v[1],addr_spec='jm@example.de')\n"
      "m['To']=[Address(display_name=v[3],addr_spec=v[4]),Address(display_name=v[5],addr_spec=v[6]),"
      "Address(addr_spec=v[8])]\n"
      "m['Content-Disposition']='attachment'\n"
      "m.set_param('filename',v[2],header='Content-Disposition')\n"
      "open(sys.argv[2],'wb').write(m.as_bytes())\n",
      OracleInput());
  ASSERT_NE(text, "<failed>");
  if (std::getenv("VX_SHOW")) std::puts(text.c_str());
  TStringList lines;
  lines.SetText(text);
  H h("utf-8", 76, cmNone);
  h.Parse(0, &lines);
  EXPECT_EQ(h.GetDecodedFieldValue("subject"), kSubject) << text;
  std::string name, addr;
  EXPECT_TRUE(GetEmailAddressParts(h.GetDecodedAddress("from"), name, addr));
  EXPECT_EQ(name, kFromName);
  TqvEmailAddressList to;
  h.GetAddressList("to", to);
  ASSERT_EQ(to.Count(), 3) << text;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(to.Items(i)->Name(), kTo[i].first);
    EXPECT_EQ(to.Items(i)->Email(), kTo[i].second);
  }
  EXPECT_EQ(h.GetParameter(h.GetFieldValue("content-disposition"), "filename*"), kFileName) << text;
}

TEST(MailHeaderPython, PythonReadsWhatWeWrite) {
  CodePageGuard cp(65001);
  TStringList lines;
  H h("utf-8", 76, cmNone);
  h.Parse(0, &lines);
  h.AddEncodedField("Subject", kSubject);
  h.AddEncodedAddressField("From", BuildFullAddress(kFromName, "jm@example.de"));
  TqvEmailAddressList to;
  for (const auto& [n, a] : kTo) to.AddFullAddress(BuildFullAddress(n, a));
  h.AddAddressListField("To", to);
  h.AddField("Content-Disposition", "attachment");
  h.AddParameter("content-disposition", "filename*", kFileName);
  h.AddEndOfHeader();
  std::string got = testsupport::RunPython(
      "import sys, email, email.policy\n"
      "m=email.message_from_bytes(open(sys.argv[1],'rb').read(),policy=email.policy.default)\n"
      "out=[str(m['subject']),m['from'].addresses[0].display_name,m.get_filename()]\n"
      "for a in m['to'].addresses: out+=[a.display_name,a.addr_spec]\n"
      "open(sys.argv[2],'w',encoding='utf-8').write('\\n'.join(out)+'\\n')\n",
      lines.Text());
  std::string want = kSubject + "\n" + kFromName + "\n" + kFileName + "\n";
  for (const auto& [n, a] : kTo) want += n + "\n" + a + "\n";
  if (std::getenv("VX_SHOW")) std::puts(lines.Text().c_str());
  EXPECT_EQ(got, want) << lines.Text();
}

TEST(MailHeaderRobustness, MalformedTextNeverRaises) {
  std::mt19937 gen(42);
  const std::string pool = "=?QqBb_\"'()<>@,;:\\ \t\r\nab*%0\xC3\xA9";
  H h("utf-8", 20, cmNone);
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    const size_t len = gen() % 40;
    for (size_t i = 0; i < len; ++i) s += pool[gen() % pool.size()];
    EXPECT_NO_THROW({
      (void)H::DecodeEncodedWords(s, "utf-8");
      (void)h.DecodeAddress(s);
      (void)h.GetParameter(s, "a*");
      (void)h.GetParameter(s, "a");
      (void)h.RemoveItem(s, "a");
      TqvEmailAddressItem item;
      item.SetFullAddress(s);
      (void)TqvEncoder::DecodeText(s, cmQuotedPrintable);
      (void)TqvEncoder::DecodeText(s, cmUUEncode);
    }) << s;
  }
}

TEST(MailHeaderRobustness, NarrowLimitsStayFast) {
  CodePageGuard cp(65001);
  std::string text;
  for (int i = 0; i < 600; ++i) text += "\xC3\xA9";
  // No word can be this short; the cut still ends, one character per word.
  const auto words = Split(H::EncodeHeaderText(text, "utf-8", 5, cmBase64), "\r\n");
  EXPECT_EQ(words.size(), 600u);
  H h("utf-8", 20, cmNone);
  EXPECT_EQ(h.GetParameter(h.EncodeExtendedParameter("n*", text, 3), "n*"), text);
}
