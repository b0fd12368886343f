// TqvMailMessage: building lines, parsing them back, the bodies' rules, the
// DKIM link, and the faults the parser and builder once had.
#include "MimeTestSupport.h"
#include "qvMessageDkimLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace testsupport;

namespace {

int IndexOfPrefix(const TStrings& ALines, const std::string& APrefix) {
  for (int i = 0; i < ALines.Count(); ++i)
    if (ALines.Strings(i).starts_with(APrefix)) return i;
  return -1;
}

void Parse(TqvMailMessage& AMessage, const std::string& AText) {
  TStringList lines;
  TextToLines(AText, lines);
  AMessage.SetMessageSource(lines);
}

const char* kHeader = "From: a@example.com\r\nSubject: s\r\nDate: Thu, 5 Mar 2026 09:04:07 +0100\r\n";

class TFakeDkim : public TqvMessageDkimLink {
 public:
  void Sign(TStrings& ALines) override {
    ++Signed;
    SignedLines = ALines.Count();
    if (FailSign) throw Exception("no key");
    ALines.Insert(0, "DKIM-Signature: v=1; b=fake");
  }
  void Verify(const TStrings& ALines) override {
    ++Verified;
    VerifiedFirst = ALines.Count() > 0 ? ALines.Strings(0) : "";
    if (FailVerify) throw Exception("bad signature");
  }
  int Signed = 0, Verified = 0, SignedLines = 0;
  std::string VerifiedFirst;
  bool FailSign = false, FailVerify = false;
};

}  // namespace

// ---- building ----

TEST(MailMessageBuild, SingleTextLayoutAndPriority) {
  TqvMailMessage m;
  m.Bodies().Add<TqvTextBody>()->Strings().Add("Hello");
  const TStrings& l = m.MessageSource();
  const int date = IndexOfPrefix(l, "Date: ");
  ASSERT_GE(date, 0);
  EXPECT_EQ(l.Strings(date + 1), "MIME-Version: 1.0");
  EXPECT_EQ(l.Strings(date + 2), "Content-Type: text/plain; charset=iso-8859-1");
  EXPECT_EQ(l.Strings(date + 3), "Content-Transfer-Encoding: 7bit");
  EXPECT_EQ(l.Strings(date + 4), "");
  EXPECT_EQ(l.Strings(date + 5), "Hello");
  EXPECT_EQ(IndexOfPrefix(l, "Importance"), -1);
  EXPECT_EQ(IndexOfPrefix(l, "X-Priority"), -1);

  m.SetPriority(mpHigh);
  EXPECT_GE(m.MessageSource().IndexOf("Importance: High"), 0);
  EXPECT_GE(m.MessageSource().IndexOf("X-Priority: 1"), 0);
  // The only body's chosen encoding labels the message.
  dynamic_cast<TqvTextBody*>(m.Bodies().Items(0))->Strings().Add("caf\xe9");
  EXPECT_GE(m.MessageSource().IndexOf("Content-Transfer-Encoding: quoted-printable"), 0);
}

TEST(MailMessageBuild, UuencodeFormatHasNoMimeFields) {
  TqvMailMessage m;
  m.SetMessageFormat(mfUUencode);
  m.OnLoadAttachment = [](TObject*, TqvAttachmentBody*, std::string&, std::unique_ptr<TStream>& AData, bool& H) {
    AData = std::make_unique<TStringStream>("data");
    H = true;
  };
  m.Bodies().Add<TqvTextBody>()->Strings().Add("text");
  m.Bodies().AddAttachment("/tmp/x/file.bin");
  const TStrings& l = m.MessageSource();
  EXPECT_EQ(IndexOfPrefix(l, "MIME-Version"), -1);
  EXPECT_EQ(IndexOfPrefix(l, "Content-Type"), -1);
  EXPECT_EQ(IndexOfPrefix(l, "This is a multi-part"), -1);
  EXPECT_EQ(IndexOfPrefix(l, "--Mark"), -1);
  const int begin = l.IndexOf("begin 644 file.bin");
  ASSERT_GT(begin, 0);
  EXPECT_EQ(l.Strings(l.Count() - 2), "end");
}

TEST(MailMessageBuild, TwoBodiesWithDefaultTypeAreMultipartMixed) {
  TqvMailMessage m;  // ContentType stays "text/plain"
  m.Bodies().Add<TqvTextBody>()->Strings().Add("one");
  m.Bodies().Add<TqvTextBody>()->Strings().Add("two");
  const TStrings& l = m.MessageSource();
  const int ct = IndexOfPrefix(l, "Content-Type: ");
  // A long boundary folds the field; unfolded, it reads the same.
  std::string field = l.Strings(ct);
  for (int i = ct + 1; i < l.Count() && !l.Strings(i).empty() && (l.Strings(i)[0] == ' ' || l.Strings(i)[0] == '\t');
       ++i)
    field += " " + l.Strings(i).substr(l.Strings(i).find_first_not_of(" \t"));
  EXPECT_EQ(field, "Content-Type: multipart/mixed; boundary=\"" + m.Boundary() + "\"");
  const int blank = l.IndexOf("");
  EXPECT_EQ(l.Strings(blank + 1), "This is a multi-part message in MIME format.");
  EXPECT_EQ(l.Strings(l.Count() - 1), "--" + m.Boundary() + "--");
  EXPECT_EQ(IndexOfPrefix(l, "Content-Transfer-Encoding"), l.IndexOf("--" + m.Boundary()) + 2);
}

TEST(MailMessageBuild, BoundariesAreNewDistinctAndNeverPrefixes) {
  std::vector<std::string> seen;
  for (int i = 0; i < 2000; ++i) seen.push_back(TqvMailMessage::GenerateBoundary());
  for (const auto& b : seen) EXPECT_TRUE(b.starts_with("Mark=_")) << b;
  std::sort(seen.begin(), seen.end());
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_FALSE(seen[i].starts_with(seen[i - 1])) << seen[i];
}

TEST(MailMessageBuild, NewsgroupsLinesAndCharsetSwitch) {
  TqvMailMessage m;
  m.NewsGroups().Add("comp.mail");
  m.NewsGroups().Add("alt.test");
  auto* t = m.Bodies().Add<TqvTextBody>();
  t->Strings().Add("a");
  t->Strings().Add("b");
  const TStrings& l = m.MessageSource();
  const int date = IndexOfPrefix(l, "Date: ");
  EXPECT_EQ(l.Strings(date + 1), "Lines: 2");
  EXPECT_GE(l.IndexOf("Newsgroups: comp.mail,alt.test"), 0);

  m.SetCharSet("ISO-2022-JP");
  EXPECT_EQ(m.CharSet(), "iso-2022-jp");
  EXPECT_EQ(m.Encoding(), cm8Bit);
  EXPECT_TRUE(m.AllowESC());
}

TEST(MailMessageBuild, CacheLivesUntilAnyChange) {
  TqvMailMessage m;
  int changes = 0;
  m.OnChanged = [&](TObject*) { ++changes; };
  m.Bodies().Add<TqvTextBody>()->Strings().Add("x");
  m.Bodies().Add<TqvTextBody>()->Strings().Add("y");
  const std::string first = LinesToText(m.MessageSource());
  EXPECT_EQ(LinesToText(m.MessageSource()), first);
  changes = 0;
  m.ExtraFields().Add("X-Test: 1");
  EXPECT_EQ(changes, 1);
  const std::string second = LinesToText(m.MessageSource());
  EXPECT_NE(second, first);
  EXPECT_NE(second.find("X-Test: 1"), std::string::npos);
  // An address item edited in place is seen too.
  m.ToList().AddFullAddress("a@example.com");
  (void)m.MessageSource();
  m.ToList().Items(0)->SetEmail("b@example.com");
  EXPECT_GE(m.MessageSource().IndexOf("To: b@example.com"), 0);
  // Inside an update nothing fires until the end.
  changes = 0;
  m.BeginUpdate();
  m.SetSubject("one");
  m.SetSubject("two");
  EXPECT_EQ(changes, 0);
  m.EndUpdate();
  EXPECT_EQ(changes, 1);
}

TEST(MailMessageBuild, StreamedBuildMatchesLines) {
  TqvMailMessage m;
  m.OnLoadAttachment = [](TObject*, TqvAttachmentBody*, std::string&, std::unique_ptr<TStream>& AData, bool& H) {
    AData = std::make_unique<TStringStream>(std::string(300000, 'z') + "\x01");
    H = true;
  };
  m.Bodies().Add<TqvTextBody>()->Strings().Add("text");
  m.Bodies().AddAttachment("z.bin");
  m.SetBoundary("fixed");
  TStringStream streamed;
  m.SaveToStream(streamed);
  const std::string lines = LinesToText(m.MessageSource());
  // Every build draws its own boundary, of a length of its own, so one build
  // may fold a field the other does not: compare unfolded, boundaries blanked.
  const std::regex boundary("Mark=_[-0-9]*_[0-9A-F]{8}");
  const std::regex fold("\r\n[ \t]+");
  auto normal = [&](const std::string& text) {
    return std::regex_replace(std::regex_replace(text, fold, " "), boundary, "B");
  };
  EXPECT_EQ(normal(streamed.DataString()), normal(lines));
}

// Folds come only between tokens: Python's email package reads the ten
// References and a long extra field back unchanged, and no line but one
// holding a single overlong token passes the width.
TEST(MailMessageBuild, FoldsOnlyBetweenTokens) {
  TqvMailMessage m;
  m.From().SetFullAddress("a@example.com");
  m.SetSubject("threads");
  std::string refs;
  for (int i = 0; i < 10; ++i) {
    const std::string id = "<ref" + std::to_string(i) + "-0123456789abcdef@example.test>";
    m.References().Add(id);
    refs += (i ? " " : "") + id;
  }
  const std::string token = "token-" + std::string(90, 't');
  m.ExtraFields().Add("X-Long: first " + token + " last");
  m.Bodies().Add<TqvTextBody>()->Strings().Add("body");
  const std::string text = LinesToText(m.MessageSource());
  const std::string py = RunPython(R"PY(
import sys, email, email.policy
m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.compat32)
unfold = lambda v: v.replace('\r\n', '').replace('\n', '')
open(sys.argv[2], 'w').write(unfold(m['References']) + '\n' + ' '.join(unfold(m['X-Long']).split()) + '\n')
)PY", text);
  EXPECT_EQ(py, refs + "\nfirst " + token + " last\n") << text;
  const TStrings& lines = m.MessageSource();
  for (int i = 0; i < lines.Count() && !lines.Strings(i).empty(); ++i) {
    const std::string line = lines.Strings(i);
    if (line.find(token) == std::string::npos) EXPECT_LE(line.size(), 76u) << line;
    else EXPECT_EQ(line, " " + token) << "the long token alone on its line";
  }
}

// A parsed message names files only as text: rebuilding it never opens
// them. Without the data the rebuild fails plainly; data given by the
// application, or a file the application names, is what goes out.
TEST(MailMessageBuild, RebuildNeverReadsAFileTheMailNames) {
  TempDir dir;
  const std::string secret = dir.Dir() + "secret.txt";
  WriteFileBytes(secret, "private contents of the local file\r\n");
  const std::string mime = std::string(kHeader) +
                           "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                           "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
                           "--b\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Disposition: attachment; filename=\"" + secret + "\"\r\n"
                           "Content-Transfer-Encoding: base64\r\n\r\naGVsbG8=\r\n--b--\r\n";
  const std::string uu = std::string(kHeader) + "\r\nsee below\r\nbegin 644 " + secret + "\r\n`\r\nend\r\n";
  for (const std::string& text : {mime, uu}) {
    TqvMailMessage m;
    Parse(m, text);
    m.SetSubject("rebuilt");  // drop the parsed text: a real rebuild
    try {
      const std::string built = LinesToText(m.MessageSource());
      EXPECT_EQ(built.find("cHJpdmF0ZS"), std::string::npos) << built;  // base64 of "private"
      ADD_FAILURE() << "rebuilt without the attachment's data:\n" << built;
    } catch (const EFOpenError&) {
      ADD_FAILURE() << "tried to open the file the mail names";
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find("has no data"), std::string::npos) << e.Message();
    }

    // The application gives the data.
    m.OnLoadAttachment = [](TObject*, TqvAttachmentBody*, std::string&, std::unique_ptr<TStream>& AData, bool& H) {
      AData = std::make_unique<TStringStream>("given");
      H = true;
    };
    m.SetSubject("rebuilt again");
    const std::string given = LinesToText(m.MessageSource());
    EXPECT_TRUE(given.find("Z2l2ZW4") != std::string::npos || given.find("%9VEV96X") != std::string::npos)
        << given;  // "given" in base64 or uuencoded

    // The application names the file itself: that one is read.
    m.OnLoadAttachment = nullptr;
    TqvAttachmentBody* attachment = nullptr;
    for (int i = 0; i < m.Bodies().Count(); ++i)
      if (auto* a = dynamic_cast<TqvAttachmentBody*>(m.Bodies().Items(i))) attachment = a;
    ASSERT_NE(attachment, nullptr);
    attachment->SetFileName(secret);
    m.SetSubject("named");
    const std::string built = LinesToText(m.MessageSource());
    EXPECT_TRUE(built.find("cHJpdmF0ZS") != std::string::npos || built.find("<')I=F%T92!C") != std::string::npos)
        << built;  // "private contents" in base64 or uuencoded
  }
}

// ---- parsing ----

TEST(MailMessageParse, NoMimeFieldsReadsAsUuencodeFormat) {
  TqvMailMessage m;
  Parse(m, std::string(kHeader) + "\r\nplain text\r\nend\r\nmore\r\n");
  EXPECT_EQ(m.MessageFormat(), mfUUencode);
  ASSERT_EQ(m.Bodies().Count(), 1);
  // "end" with no block open is ordinary text and is kept.
  const auto* text = dynamic_cast<const TqvTextBody*>(m.Bodies().Items(0));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->Strings().Text(), "plain text\r\nend\r\nmore\r\n");
  const TStrings& rebuilt = m.MessageSource();
  EXPECT_EQ(IndexOfPrefix(rebuilt, "MIME-Version"), -1);
  EXPECT_EQ(IndexOfPrefix(rebuilt, "Content-Type"), -1);
}

TEST(MailMessageParse, UuencodeBeginLinesMustBeExact) {
  const std::string block = RunPython(R"PY(
import sys, binascii
data = bytes(range(100))
lines = [binascii.b2a_uu(data[i:i+45]) for i in range(0, len(data), 45)]
open(sys.argv[2], 'wb').write(b'begin 644 my file.bin\r\n' + b''.join(l.replace(b'\n', b'\r\n') for l in lines) + b'`\r\nend\r\n')
)PY", "");
  TqvMailMessage m;
  TPayloadCapture capture(m);
  // Prose that starts with "Begin" and a number stays text; the real block is an attachment.
  Parse(m, std::string(kHeader) + "Content-Type: text/plain\r\n\r\nBegin 3 apples early\r\nbegin 12 x\r\n" + block +
               "after\r\n");
  EXPECT_EQ(m.MessageFormat(), mfUUencode);
  ASSERT_EQ(m.Bodies().Count(), 2);
  const auto* text = dynamic_cast<const TqvTextBody*>(m.Bodies().Items(0));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->Strings().Text(), "Begin 3 apples early\r\nbegin 12 x\r\nafter\r\n");
  const auto* att = dynamic_cast<const TqvAttachmentBody*>(m.Bodies().Items(1));
  ASSERT_NE(att, nullptr);
  EXPECT_EQ(att->FileName(), "my file.bin");
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += static_cast<char>(i);
  EXPECT_EQ(capture.Payloads[att], expected);

  // A block that never ends still gives its data to the attachment.
  TqvMailMessage open;
  TPayloadCapture openCapture(open);
  Parse(open, std::string(kHeader) + "\r\nintro\r\n" + block.substr(0, block.find("`\r\n")));
  ASSERT_EQ(open.Bodies().Count(), 2);
  EXPECT_EQ(openCapture.Payloads[open.Bodies().Items(1)], expected);
}

TEST(MailMessageParse, PriorityDateAndExtraFields) {
  TzGuard tz("UTC");
  TqvMailMessage m;
  Parse(m, "Received: from x by y; Tue, 3 Mar 2026 10:00:00 +0000\r\nX-Priority: 1 (Highest)\r\n"
           "List-Unsubscribe: <mailto:off@example.com>\r\nMIME-Version: 1.0\r\n\r\nbody\r\n");
  EXPECT_EQ(m.Priority(), mpNormal);
  uint16_t y, mo, d, h, mi, sec, ms;
  DecodeDateTime(m.Date(), y, mo, d, h, mi, sec, ms);
  EXPECT_EQ(y * 10000 + mo * 100 + d, 20260303);
  EXPECT_EQ(h, 10);
  EXPECT_EQ(m.ListUnsubscribe(), "<mailto:off@example.com>");
  EXPECT_EQ(m.ExtraFields().Count(), 1);
  EXPECT_TRUE(m.ExtraFields().Strings(0).starts_with("Received: from x by y;"));

  Parse(m, "Importance: LOW\r\nX-Priority: 1\r\nDate: someday\r\n\r\nbody\r\n");
  EXPECT_EQ(m.Priority(), mpLow);
  EXPECT_NEAR(m.Date(), Now(), 1.0);  // an unreadable date leaves the time of parsing
}

TEST(MailMessageParse, PartClassesFollowTypeAndDisposition) {
  TqvMailMessage m;
  Parse(m, std::string(kHeader) +
               "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: image/gif\r\n\r\nR0lG\r\n"
               "--b\r\nContent-Type: image/gif\r\nContent-Disposition: attachment; filename=a.gif\r\n\r\nR0lG\r\n"
               "--b\r\n\r\nno type\r\n--b\r\nContent-Type: text/plain\r\n\r\n\r\n--b--\r\n");
  ASSERT_EQ(m.Bodies().Count(), 4);
  EXPECT_STREQ(m.Bodies().Items(0)->ClassName(), "TqvImageBody");
  EXPECT_STREQ(m.Bodies().Items(1)->ClassName(), "TqvAttachmentBody");
  EXPECT_STREQ(m.Bodies().Items(2)->ClassName(), "TqvAttachmentBody");
  EXPECT_STREQ(m.Bodies().Items(3)->ClassName(), "TqvTextBody");  // empty parts stay in a multipart

  Parse(m, std::string(kHeader) + "Content-Type: image/gif\r\n\r\nR0lG\r\n");
  ASSERT_EQ(m.Bodies().Count(), 1);
  EXPECT_STREQ(m.Bodies().Items(0)->ClassName(), "TqvTextBody");
  Parse(m, std::string(kHeader) + "Content-Type: text/plain\r\n\r\n  \r\n\t\r\n");
  EXPECT_EQ(m.Bodies().Count(), 0);
}

TEST(MailMessageParse, BoundaryProblemsFallBackToOneBody) {
  TqvMailMessage m;
  // The boundary never occurs as a whole line.
  Parse(m, std::string(kHeader) + "Content-Type: multipart/mixed; boundary=zz\r\n\r\n--zz text\r\nbody\r\n");
  ASSERT_EQ(m.Bodies().Count(), 1);
  EXPECT_STREQ(m.Bodies().Items(0)->ClassName(), "TqvTextBody");
  // Without a boundary, "--" lines are no delimiters.
  Parse(m, std::string(kHeader) + "Content-Type: multipart/mixed\r\n\r\n--\r\nsig\r\n--\r\nend\r\n");
  ASSERT_EQ(m.Bodies().Count(), 1);
  EXPECT_EQ(dynamic_cast<TqvTextBody*>(m.Bodies().Items(0))->Strings().Count(), 4);
}

TEST(MailMessageParse, NestedPositionsCountInTheWholeText) {
  const std::string text = std::string(kHeader) +        // 0..2
                           "Content-Type: multipart/mixed; boundary=out\r\n"  // 3
                           "\r\n"                                             // 4
                           "--out\r\n"                                        // 5
                           "Content-Type: multipart/alternative; boundary=in\r\n"  // 6
                           "\r\n"                                             // 7
                           "--in\r\n"                                         // 8
                           "Content-Type: text/plain\r\n"                     // 9
                           "\r\n"                                             // 10
                           "inner one\r\n"                                    // 11
                           "inner two\r\n"                                    // 12
                           "--in--\r\n"                                       // 13
                           "--out--\r\n";                                     // 14
  TqvMailMessage m;
  Parse(m, text);
  EXPECT_EQ(m.BodyStart(), 5);
  ASSERT_EQ(m.Bodies().Count(), 1);
  auto* multi = dynamic_cast<TqvMultipartBody*>(m.Bodies().Items(0));
  ASSERT_NE(multi, nullptr);
  EXPECT_EQ(multi->HeaderStart(), 6);
  EXPECT_EQ(multi->DataStart(), 8);
  ASSERT_EQ(multi->Bodies().Count(), 1);
  const TqvMessageBody* inner = multi->Bodies().Items(0);
  EXPECT_EQ(inner->HeaderStart(), 9);
  EXPECT_EQ(inner->DataStart(), 11);
  EXPECT_EQ(inner->EncodedLines(), 2);
  EXPECT_EQ(dynamic_cast<const TqvTextBody*>(inner)->Strings().Text(), "inner one\r\ninner two\r\n");
}

// ---- bodies ----

TEST(MessageBodies, TextSourceCrlfRules) {
  TqvMailMessage m;
  auto* t = m.Bodies().Add<TqvTextBody>();
  t->Strings().Add("");
  const auto read = [](TqvTextBody* ABody) {
    auto s = ABody->GetSourceStream();
    std::string out(static_cast<size_t>(s->Size()), '\0');
    s->ReadBuffer(out.data(), s->Size());
    return out;
  };
  EXPECT_EQ(read(t), "\r\n");
  t->Strings().Add("abc");
  EXPECT_EQ(read(t), "\r\nabc");
}

TEST(MessageBodies, TextWithNulIsNotCut) {
  TqvMailMessage m;
  Parse(m, std::string(kHeader) + "Content-Type: text/plain\r\n\r\nbefore" + std::string(1, '\0') + "after\r\nnext\r\n");
  ASSERT_EQ(m.Bodies().Count(), 1);
  EXPECT_EQ(dynamic_cast<TqvTextBody*>(m.Bodies().Items(0))->Strings().Text(), "before after\r\nnext\r\n");
}

TEST(MessageBodies, BadBase64FollowsErrorProcessing) {
  const std::string text = std::string(kHeader) +
                           "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                           "QUJD\r\n!!!!\r\nREVG\r\n";
  const auto run = [&](TqvMessageErrorProcessing AMode, std::string& AData) {
    TqvMailMessage m;
    m.SetErrorProcessing(AMode);
    TPayloadCapture capture(m);
    Parse(m, text);
    AData = capture.Payloads.empty() ? "" : capture.Payloads.begin()->second;
  };
  std::string data;
  run(meExtractMaximumData, data);
  EXPECT_EQ(data, "ABC");
  run(meIgnore, data);
  EXPECT_EQ(data, "QUJD\r\n!!!!\r\nREVG");
  EXPECT_THROW(run(meStop, data), EqvEncoderError);
}

TEST(MessageBodies, AttachmentNamesFromTheHeader) {
  const auto name = [](const std::string& AHeader) {
    TqvMailMessage m;
    Parse(m, std::string(kHeader) + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" + AHeader +
                 "\r\n\r\nx\r\n--b--\r\n");
    const auto* a = dynamic_cast<const TqvAttachmentBody*>(m.Bodies().Items(0));
    return a ? a->FileName() : std::string("<no attachment>");
  };
  EXPECT_EQ(name("Content-Type: application/x\r\nContent-Description: report"), "report.dat");
  EXPECT_EQ(name("Content-Type: application/x\r\nContent-Description: scan.pdf"), "scan.pdf");
  EXPECT_EQ(name("Content-Type: application/x; name=\"a/b:c?d.\""), "a_b_c_d");
  EXPECT_EQ(name("Content-Type: application/x; name=\".\""), "_");
  // Kept as written for IMAP, and the safe form for applications.
  EXPECT_EQ(name("Content-Type: application/x\r\nContent-Disposition: attachment; filename=\"../../etc/x\""),
            "../../etc/x");
  EXPECT_EQ(SafeAttachmentFileName("../../etc/x"), "x");
  EXPECT_EQ(SafeAttachmentFileName("C:\\tmp\\..\\"), "_");
  EXPECT_EQ(name("Content-Type: image/png\r\nContent-Disposition: inline; filename=a.png"), "");
}

TEST(MessageBodies, ImageIdAndType) {
  TqvMailMessage m;
  auto* image = m.Bodies().Add<TqvImageBody>();
  image->SetFileName("pics/logo.JPG");
  EXPECT_EQ(image->ContentType(), "image/JPG");
  EXPECT_TRUE(image->ContentID().starts_with("logo.JPG@"));
  EXPECT_EQ(image->ContentID().find(','), std::string::npos);
  auto* bare = m.Bodies().Add<TqvImageBody>();
  bare->SetFileName("dir.d/picture");
  EXPECT_EQ(bare->ContentType(), "image/");
}

// ---- the DKIM link ----

TEST(MailMessageDkim, SignsBuiltAndVerifiesParsedLines) {
  TqvMailMessage m;
  m.Bodies().Add<TqvTextBody>()->Strings().Add("x");
  {
    TFakeDkim dkim;
    m.SetDkim(&dkim);
    const TStrings& l = m.MessageSource();
    EXPECT_EQ(dkim.Signed, 1);
    EXPECT_EQ(l.Strings(0), "DKIM-Signature: v=1; b=fake");
    EXPECT_EQ(dkim.SignedLines + 1, l.Count());
    TStringStream streamed;
    m.SaveToStream(streamed);
    EXPECT_TRUE(streamed.DataString().starts_with("DKIM-Signature"));

    TqvMailMessage parsed;
    parsed.SetDkim(&dkim);
    parsed.SetMessageSource(l);
    EXPECT_EQ(dkim.Verified, 1);
    EXPECT_EQ(dkim.VerifiedFirst, "DKIM-Signature: v=1; b=fake");
  }
  // The link went with the component.
  EXPECT_EQ(m.Dkim(), nullptr);
  EXPECT_EQ(IndexOfPrefix(m.MessageSource(), "DKIM-Signature"), -1);
}

TEST(MailMessageDkim, FailuresLeaveNoStaleState) {
  TqvMailMessage m;
  TFakeDkim dkim;
  m.SetDkim(&dkim);
  m.Bodies().Add<TqvTextBody>()->Strings().Add("x");
  dkim.FailSign = true;
  EXPECT_THROW((void)m.MessageSource(), Exception);
  dkim.FailSign = false;
  EXPECT_EQ(m.MessageSource().Strings(0), "DKIM-Signature: v=1; b=fake");

  // A missing attachment file reaches the caller and leaves nothing cached either.
  auto* missing = m.Bodies().AddAttachment("/nonexistent/vx-file.bin");
  EXPECT_THROW((void)m.MessageSource(), EFOpenError);
  m.Bodies().Delete(m.Bodies().IndexOf(missing));
  EXPECT_EQ(m.MessageSource().Strings(0), "DKIM-Signature: v=1; b=fake");

  int changes = 0;
  m.OnChanged = [&](TObject*) { ++changes; };
  dkim.FailVerify = true;
  EXPECT_THROW(Parse(m, std::string(kHeader) + "\r\nbody\r\n"), Exception);
  // The update ended: later changes still notify and rebuild.
  changes = 0;
  m.SetSubject("after");
  EXPECT_EQ(changes, 1);
  EXPECT_GE(m.MessageSource().IndexOf("Subject: after"), 0);
}

// ---- robustness and copies ----

TEST(MailMessageParse, CutOrDeepInputNeverRaises) {
  for (const char* name : {"related_nested.eml", "nonascii_filenames.eml", "rfc822_forward.eml"}) {
    TStringList all;
    TextToLines(ReadMimeData(name), all);
    for (int keep = 0; keep <= all.Count(); ++keep) {
      TStringList cut;
      for (int i = 0; i < keep; ++i) cut.Add(all.Strings(i));
      TqvMailMessage m;
      TPayloadCapture capture(m);
      EXPECT_NO_THROW(m.SetMessageSource(cut)) << name << " cut at " << keep;
    }
  }
  // Nesting deeper than the limit is kept as an opaque part, not followed.
  std::string text = std::string(kHeader) + "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
  for (int i = 0; i < 60; ++i)
    text += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=b" + std::to_string(i + 1) +
            "\r\n\r\n";
  TqvMailMessage m;
  Parse(m, text + "--b60\r\nContent-Type: text/plain\r\n\r\ndeep\r\n");
  int depth = 0;
  const TqvMessageBodies* bodies = &m.Bodies();
  while (bodies->Count() == 1 && dynamic_cast<const TqvMultipartBody*>(bodies->Items(0))) {
    bodies = &dynamic_cast<const TqvMultipartBody*>(bodies->Items(0))->Bodies();
    ++depth;
  }
  EXPECT_LT(depth, 40);
  ASSERT_EQ(bodies->Count(), 1);
  EXPECT_STREQ(bodies->Items(0)->ClassName(), "TqvAttachmentBody");
}

TEST(MessageBodies, AssignCopiesClassesAndContents) {
  TqvMailMessage m;
  m.Bodies().Add<TqvTextBody>()->Strings().Add("hello");
  auto* multi = m.Bodies().Add<TqvMultipartBody>();
  multi->SetContentType("multipart/alternative");
  multi->Bodies().Add<TqvTextBody>()->Strings().Add("inner");
  auto* image = multi->Bodies().Add<TqvImageBody>();
  image->SetContentID("id@x");
  TqvMailMessage copy;
  copy.SetBodies(m.Bodies());
  ASSERT_EQ(copy.Bodies().Count(), 2);
  EXPECT_EQ(dynamic_cast<TqvTextBody*>(copy.Bodies().Items(0))->Strings().Text(), "hello\r\n");
  auto* copied = dynamic_cast<TqvMultipartBody*>(copy.Bodies().Items(1));
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->ContentType(), "multipart/alternative");
  ASSERT_EQ(copied->Bodies().Count(), 2);
  EXPECT_EQ(dynamic_cast<TqvImageBody*>(copied->Bodies().Items(1))->ContentID(), "id@x");
  // The copy's nested bodies belong to the copy.
  EXPECT_EQ(copied->Bodies().Items(0)->Message(), &copy);
}
