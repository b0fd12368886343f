// Our MIME parser and builder against Python's email package: the corpus of
// message shapes must read into the same part tree, and every message we
// build must read back, in Python, as the parts we put in.
#include "MimeTestSupport.h"
#include "qvMessageLines.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace testsupport;

namespace {

std::string Bytes256() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s + s;
}

// A message whose attachments come from memory, keyed by file name.
struct TSourcedMessage {
  TSourcedMessage() {
    Message.OnLoadAttachment = [this](TObject*, TqvAttachmentBody*, std::string& AName,
                                      std::unique_ptr<TStream>& AData, bool& Handled) {
      const auto found = Files.find(AName);
      if (found == Files.end()) return;
      AData = std::make_unique<TStringStream>(found->second);
      Handled = true;
    };
  }
  TqvMailMessage Message;
  std::map<std::string, std::string> Files;
};

std::string Leaf(const std::string& AType, const std::string& ACharSet, const std::string& AName,
                 const std::string& APayload) {
  return "leaf " + AType + "|" + ACharSet + "|" + AName + "|" + detail::Hex(APayload) + "\n";
}

}  // namespace

TEST(MimeCorpus, EveryShapeReadsAsPythonReadsIt) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(MimeDataPath(""))) {
    if (entry.path().extension() != ".eml") continue;
    ++files;
    const std::string name = entry.path().filename().string();
    const std::string expected = PythonDescribe(ReadFileBytes(entry.path().string()));

    TqvMailMessage fromStream;
    TPayloadCapture streamCapture(fromStream);
    TFileStream file(entry.path().string(), fmOpenRead);
    fromStream.LoadFromStream(file);
    EXPECT_EQ(DescribeParsed(fromStream, streamCapture), expected) << name;

    // The line-list entry point must agree with the stream one, positions included.
    TqvMailMessage fromLines;
    TPayloadCapture linesCapture(fromLines);
    TStringList lines;
    TextToLines(ReadFileBytes(entry.path().string()), lines);
    fromLines.SetMessageSource(lines);
    EXPECT_EQ(DescribeParsed(fromLines, linesCapture), expected) << name;
    ASSERT_EQ(fromLines.Bodies().Count(), fromStream.Bodies().Count()) << name;
    for (int i = 0; i < fromLines.Bodies().Count(); ++i) {
      EXPECT_EQ(fromLines.Bodies().Items(i)->DataStart(), fromStream.Bodies().Items(i)->DataStart()) << name;
      EXPECT_EQ(fromLines.Bodies().Items(i)->EncodedLines(), fromStream.Bodies().Items(i)->EncodedLines()) << name;
    }
  }
  EXPECT_GE(files, 8);
}

TEST(MimeCorpus, HeaderFieldsOfRealShapes) {
  TqvMailMessage m;
  TStringList lines;
  TextToLines(ReadMimeData("alternative.eml"), lines);
  m.SetMessageSource(lines);
  EXPECT_EQ(m.Subject(), "\xbb\xe1\xd2\xe9\xbc\xc7\xc2\xbc");  // in the local code page
  EXPECT_EQ(m.From().Name(), "Zhou Lin");
  EXPECT_EQ(m.MessageID(), "<alt-1@example.net>");
  EXPECT_EQ(m.Bodies().Count(), 2);

  TextToLines(ReadMimeData("rfc822_forward.eml"), lines);
  m.SetMessageSource(lines);
  ASSERT_EQ(m.Bodies().Count(), 2);
  const auto* forwarded = dynamic_cast<const TqvAttachmentBody*>(m.Bodies().Items(1));
  ASSERT_NE(forwarded, nullptr);
  EXPECT_EQ(forwarded->FileName(), "Lunch.eml");
}

TEST(MimeBuild, PythonReadsWhatWeBuild) {
  TSourcedMessage s;
  TqvMailMessage& m = s.Message;
  m.SetCharSet("utf-8");
  m.From().SetFullAddress("\"Lin, Zhou\" <lin@example.net>");
  m.ToList().AddFullAddress("team@example.org");
  m.SetSubject("\xd6\xd0\xce\xc4 subject");
  const std::string binary = Bytes256();
  s.Files["report \xd6\xd0.bin"] = binary;
  s.Files["dot.png"] = "\x89PNG\r\n\x1a\n" + std::string(40, '\0');
  const std::string longLine(300, 'x');
  s.Files["notes.txt"] = "line one\r\n" + longLine + "\r\nend with blank \r\n";

  auto* text = m.Bodies().Add<TqvTextBody>();
  text->Strings().Add("Hello \xd6\xd0\xce\xc4");
  text->Strings().Add("begin 644 not-an-attachment");
  m.Bodies().AddAttachment("report \xd6\xd0.bin");
  m.Bodies().AddAttachment("notes.txt");
  auto* image = m.Bodies().Add<TqvImageBody>();
  image->SetFileName("dot.png");
  auto* alternative = m.Bodies().Add<TqvMultipartBody>();
  alternative->SetContentType("multipart/alternative");
  alternative->Bodies().Add<TqvTextBody>()->Strings().Add("plain");
  auto* html = alternative->Bodies().Add<TqvTextBody>();
  html->SetContentType("text/html");
  html->Strings().Add("<p>" + longLine + "</p>");

  const std::string built = LinesToText(m.MessageSource());
  const std::string expected =
      "multipart multipart/mixed\n" +
      Leaf("text/plain", "utf-8", "", "Hello \xe4\xb8\xad\xe6\x96\x87\nbegin 644 not-an-attachment") +
      Leaf("application/octet-stream", "", "report \xe4\xb8\xad.bin", binary) +
      Leaf("application/octet-stream", "", "notes.txt", s.Files["notes.txt"]) +
      Leaf("image/png", "", "dot.png", s.Files["dot.png"]) + "multipart multipart/alternative\n" +
      Leaf("text/plain", "utf-8", "", "plain") + Leaf("text/html", "utf-8", "", "<p>" + longLine + "</p>") +
      "end\nend\n";
  EXPECT_EQ(PythonDescribe(built), expected) << built;

  // Our own reading of it gives the same tree.
  TqvMailMessage back;
  TPayloadCapture capture(back);
  TStringList lines;
  TextToLines(built, lines);
  back.SetMessageSource(lines);
  EXPECT_EQ(DescribeParsed(back, capture), expected);
}

TEST(MimeBuild, StrictPythonAcceptsOurHeaders) {
  TSourcedMessage s;
  s.Files["a.bin"] = "abc";
  s.Message.Bodies().Add<TqvTextBody>()->Strings().Add("text");
  s.Message.Bodies().AddAttachment("a.bin");
  s.Message.SetContentSubType("text/html");
  const std::string script = R"PY(
import sys, email, email.policy
m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.strict)
ct = m['Content-Type']
open(sys.argv[2], 'w').write('%s %s %d' % (ct.params['boundary'].startswith('Mark=_'), ct.params['type'], len(list(m.iter_parts()))))
)PY";
  EXPECT_EQ(RunPython(script, LinesToText(s.Message.MessageSource())), "True text/html 2");
}

TEST(MimeBuild, UuencodedAttachmentDecodesWithPython) {
  TSourcedMessage s;
  s.Message.SetMessageFormat(mfUUencode);
  s.Files["dir/data.bin"] = Bytes256();
  s.Message.Bodies().Add<TqvTextBody>()->Strings().Add("See attachment.");
  s.Message.Bodies().AddAttachment("dir/data.bin");
  const std::string built = LinesToText(s.Message.MessageSource());
  EXPECT_EQ(built.find("MIME-Version"), std::string::npos);
  const std::string script = R"PY(
import sys, binascii
lines = open(sys.argv[1], 'rb').read().split(b'\r\n')
start = lines.index(b'begin 644 data.bin') + 1
data = b''.join(binascii.a2b_uu(l) for l in lines[start:lines.index(b'end')])
open(sys.argv[2], 'wb').write(data)
)PY";
  EXPECT_EQ(RunPython(script, built), Bytes256());
}

TEST(MimeBuild, OnlyBodyNestedMultipartStillGetsTheOuterBoundary) {
  TqvMailMessage m;
  auto* alternative = m.Bodies().Add<TqvMultipartBody>();
  alternative->SetContentType("multipart/alternative");
  alternative->Bodies().Add<TqvTextBody>()->Strings().Add("plain");
  auto* html = alternative->Bodies().Add<TqvTextBody>();
  html->SetContentType("text/html");
  html->Strings().Add("<b>x</b>");
  EXPECT_EQ(PythonDescribe(LinesToText(m.MessageSource())),
            "multipart multipart/mixed\nmultipart multipart/alternative\n" +
                Leaf("text/plain", "iso-8859-1", "", "plain") + Leaf("text/html", "iso-8859-1", "", "<b>x</b>") +
                "end\nend\n");
}
