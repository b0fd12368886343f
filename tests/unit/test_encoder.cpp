#include "PythonOracle.h"
#include "Streams.h"
#include "qvEncoder.h"

#include <gtest/gtest.h>

#include <random>

using testsupport::RunPython;
using testsupport::RunShell;

namespace {

std::string Enc(const std::string& AIn, TqvEncodeMethod AMethod, int AChars = 76, bool ASuppress = false) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  e.SetCharsPerLine(AChars);
  e.SetSuppressCrlf(ASuppress);
  return e.EncodeBytes(TBytes(AIn.begin(), AIn.end()));
}

std::string Dec(const std::string& AIn, TqvEncodeMethod AMethod) {
  const TBytes b = TqvEncoder::DecodeTextToBytes(AIn, AMethod);
  return std::string(b.begin(), b.end());
}

std::string RandomBytes(size_t ASize, unsigned ASeed) {
  std::mt19937 gen(ASeed);
  std::string s(ASize, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Text-like random data: lines of printable characters, blanks at line ends,
// TABs, "=" and some 8-bit bytes.
std::string RandomText(size_t ASize, unsigned ASeed) {
  std::mt19937 gen(ASeed);
  const std::string pool = "abcdefghij  ===\t\xE9\xFC.,;?_";
  std::string s;
  while (s.size() < ASize) {
    if (gen() % 40 == 0) s += "\r\n";
    s += pool[gen() % pool.size()];
  }
  return s;
}

}  // namespace

TEST(EncoderBase64, KnownVectorsAndLines) {
  EXPECT_EQ(Enc("abc", cmBase64), "YWJj");
  EXPECT_EQ(Enc("ab", cmBase64), "YWI=");
  EXPECT_EQ(Enc("a", cmBase64), "YQ==");
  EXPECT_EQ(Enc("", cmBase64), "");
  const std::string out = Enc(std::string(58, 'x'), cmBase64);
  ASSERT_EQ(out.size(), 76u + 2 + 4);
  EXPECT_EQ(out.substr(76, 2), "\r\n");
  EXPECT_EQ(out.substr(78), "eA==");
  EXPECT_EQ(Enc(std::string(58, 'x'), cmBase64, 76, true).find('\r'), std::string::npos);
}

TEST(EncoderBase64, LineLengthRounding) {
  TqvEncoder e;
  const std::pair<int, int> cases[] = {{76, 76}, {78, 80}, {65, 64}, {69, 72}, {10, 64}};
  for (auto [in, want] : cases) {
    e.SetCharsPerLine(in);
    EXPECT_EQ(e.GetLineLength(), want) << in;
  }
  e.SetEncodeMethod(cmQuotedPrintable);
  e.SetCharsPerLine(200);
  EXPECT_EQ(e.GetLineLength(), 132);
}

TEST(EncoderBase64, DecodeSkipsBreaksAndStopsOnBadSymbols) {
  EXPECT_EQ(Dec("YW\r\nJj Y W=I=", cmBase64), "abcab");
  EXPECT_THROW((void)Dec("YWJj\tYWI=", cmBase64), EqvEncoderError);
  try {
    (void)Dec("YW*", cmBase64);
  } catch (const EqvEncoderError& e) {
    EXPECT_EQ(e.ErrorCode, -2);
    EXPECT_EQ(e.Message(), "Wrong symbols in source stream.");
  }
  TqvEncoder e;
  e.SetErrorProcessing(epContinue);
  const TBytes b = e.DecodeToBytes("YWJj*YWJj");
  EXPECT_EQ(std::string(b.begin(), b.end()), "abc");
}

TEST(EncoderBase64, EveryBatchSizeGivesTheSameBytes) {
  const std::string data = RandomBytes(300, 7);
  const std::string text = Enc(data, cmBase64);
  for (int batch = 1; batch <= static_cast<int>(text.size()) + 1; ++batch) {
    TqvEncoder e;
    e.SetBatchSize(batch);
    TStringStream src(text), dst;
    e.Decode(src, dst);
    ASSERT_EQ(dst.DataString(), data) << "batch " << batch;
  }
}

TEST(EncoderBase64, MatchesPythonBothWays) {
  const std::string data = RandomBytes(5000, 11);
  const std::string ours = Enc(data, cmBase64);
  EXPECT_EQ(RunPython("import base64,sys\n"
                      "open(sys.argv[2],'wb').write(base64.b64decode(open(sys.argv[1],'rb').read()))\n",
                      ours),
            data);
  const std::string theirs = RunPython("import base64,sys\n"
                                       "open(sys.argv[2],'wb').write(base64.encodebytes(open(sys.argv[1],'rb').read()))\n",
                                       data);
  EXPECT_EQ(Dec(theirs, cmBase64), data);
}

TEST(EncoderQuotedPrintable, LinesAndEscapes) {
  const std::string out = Enc(std::string(100, 'a'), cmQuotedPrintable);
  EXPECT_EQ(out, std::string(71, 'a') + "=\r\n" + std::string(29, 'a'));
  EXPECT_EQ(Enc("a\tb=c\nd\re", cmQuotedPrintable), "a=09b=3Dc=0Ad=0De");
  EXPECT_EQ(Enc("a\r\nb", cmQuotedPrintable), "a\r\nb");
  EXPECT_EQ(Enc("\xFC", cmQuotedPrintable), "=FC");
  // Tiny widths still make progress.
  EXPECT_EQ(Dec(Enc("abcdef", cmQuotedPrintable, 4), cmQuotedPrintable), "abcdef");
}

TEST(EncoderQuotedPrintable, TrailingBlankSurvivesLineTrimming) {
  // A blank ending a line or the text is escaped, so a transport that trims
  // lines cannot lose it; blanks inside a line stay literal.
  EXPECT_EQ(Enc("a b \r\nc ", cmQuotedPrintable), "a b=20\r\nc=20");
  EXPECT_EQ(Dec("a b=20\r\nc=20", cmQuotedPrintable), "a b \r\nc ");
}

TEST(EncoderQuotedPrintable, Decoding) {
  EXPECT_EQ(Dec("ab=\r\ncd", cmQuotedPrintable), "abcd");
  EXPECT_EQ(Dec("ab= \r\ncd", cmQuotedPrintable), "abcd");
  EXPECT_EQ(Dec("=4Z=4a=3d", cmQuotedPrintable), "=4ZJ=");
  EXPECT_EQ(Dec("a\nb\n", cmQuotedPrintable), "a\r\nb\r\n");
  EXPECT_EQ(Dec("a=\r\n\r\nb", cmQuotedPrintable), "a\r\nb");
}

TEST(EncoderQuotedPrintable, MatchesPythonQuopriBothWays) {
  for (unsigned seed = 1; seed <= 5; ++seed) {
    const std::string data = RandomText(3000, seed);
    const std::string ours = Enc(data, cmQuotedPrintable);
    for (size_t p = 0, q; p < ours.size(); p = q + 2) {
      q = ours.find("\r\n", p);
      if (q == std::string::npos) q = ours.size();
      ASSERT_LE(q - p, 76u);
      ASSERT_TRUE(q == p || (ours[q - 1] != ' ' && ours[q - 1] != '\t'));
    }
    EXPECT_EQ(RunPython("import quopri,sys\n"
                        "open(sys.argv[2],'wb').write(quopri.decodestring(open(sys.argv[1],'rb').read()))\n",
                        ours),
              data)
        << seed;
    const std::string theirs = RunPython("import quopri,sys\n"
                                         "d=open(sys.argv[1],'rb').read().replace(b'\\r\\n',b'\\n')\n"
                                         "open(sys.argv[2],'wb').write(quopri.encodestring(d))\n",
                                         data);
    std::string lf = data;
    for (size_t k; (k = lf.find("\r\n")) != std::string::npos;) lf.replace(k, 2, "\n");
    std::string want;
    for (char c : lf) want += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(Dec(theirs, cmQuotedPrintable), want) << seed;
  }
}

TEST(EncoderUUEncode, ShortFinalLinesAndFullLines) {
  // "Cat" is the classic one-group sample.
  EXPECT_EQ(Enc("Cat", cmUUEncode), "#0V%T\r\n`\r\n");
  for (size_t n = 0; n <= 200; ++n) {
    const std::string data = RandomBytes(n, static_cast<unsigned>(n));
    ASSERT_EQ(Dec(Enc(data, cmUUEncode), cmUUEncode), data) << n;
  }
  // The widest setting: lines of the most bytes a length character can say.
  const std::string data = RandomBytes(1000, 3);
  const std::string wide = Enc(data, cmUUEncode, 132);
  EXPECT_EQ(wide[0], '_');  // 63 bytes
  EXPECT_EQ(Dec(wide, cmUUEncode), data);
  EXPECT_EQ(Dec(Enc(data, cmUUEncode, 76, true), cmUUEncode), data);
}

TEST(EncoderUUEncode, DecodingSkipsBeginAndStopsAtEndLine) {
  EXPECT_EQ(Dec("begin 644 x\n#0V%T\n`\nend\n", cmUUEncode), "Cat");
  EXPECT_EQ(Dec("#0V%T\n \n#0V%T\n", cmUUEncode), "Cat");
  // A line whose trailing blanks were trimmed still gives its bytes.
  EXPECT_EQ(Dec("\"    \n", cmUUEncode).size(), 2u);
  EXPECT_EQ(Dec("\"\n", cmUUEncode), std::string(2, '\0'));
}

TEST(EncoderUUEncode, MatchesSharutils) {
  for (size_t n : {1u, 2u, 44u, 45u, 46u, 57u, 2000u}) {
    const std::string data = RandomBytes(n, static_cast<unsigned>(n) + 100);
    const std::string ours = "begin 644 data\n" + Enc(data, cmUUEncode) + "end\n";
    EXPECT_EQ(RunShell("uudecode -o \"$OUT\" \"$IN\"", ours), data) << n;
    const std::string theirs = RunShell("uuencode \"$IN\" data > \"$OUT\"", data);
    EXPECT_EQ(Dec(theirs, cmUUEncode), data) << n;
  }
}

TEST(EncoderChoice, PreferredEncoding) {
  TqvEncoder e;
  const auto pick = [&](const std::string& s) { return e.GetPreferredEncoding(TBytes(s.begin(), s.end())); };
  EXPECT_EQ(pick("plain text\r\n" + std::string(76, 'x')), cmNone);
  EXPECT_EQ(pick(std::string(77, 'x') + "\r\nshort"), cmQuotedPrintable);
  EXPECT_EQ(pick(std::string(77, 'x')), cmQuotedPrintable);
  EXPECT_EQ(pick("a\tb"), cmBase64);
  EXPECT_EQ(pick("caf\xE9"), cmQuotedPrintable);
  EXPECT_EQ(pick("\xE9\xE9\xE9x"), cmBase64);
  EXPECT_EQ(pick("a\x1b$B"), cmBase64);
  e.SetAllowESC(true);
  EXPECT_EQ(pick("a\x1b$B"), cmNone);
  TStringStream s("xx\tyy");
  s.SetPosition(2);
  EXPECT_EQ(e.GetPreferredEncoding(s), cmBase64);
  EXPECT_EQ(s.Position(), 2);
}

TEST(EncoderStreams, ProgressStartsAtZeroAndMethodErrors) {
  TqvEncoder e;
  std::vector<std::pair<int64_t, int64_t>> calls;
  e.OnProgress = [&](TObject*, int64_t done, int64_t total) { calls.emplace_back(done, total); };
  TStringStream src(std::string(1000, 'q')), dst;
  e.Encode(src, dst);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().first, 0);
  EXPECT_EQ(calls.front().second, 1000);
  EXPECT_EQ(calls.back().first, 1000);
  e.SetEncodeMethod(static_cast<TqvEncodeMethod>(5));
  TStringStream empty, out;
  EXPECT_NO_THROW(e.Encode(empty, out));
  TStringStream some("x");
  try {
    e.Encode(some, out);
    FAIL();
  } catch (const EqvEncoderError& err) {
    EXPECT_EQ(err.ErrorCode, -1);
    EXPECT_EQ(err.Message(), "Unsupported format.");
  }
}
