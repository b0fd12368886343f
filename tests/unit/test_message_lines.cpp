// The pieces that keep large messages out of memory must give exactly what
// the whole-text paths give: lines split as the line loader splits them,
// encodings done a piece at a time, and a spool that moves to disk.
#include "Streams.h"
#include "StringList.h"
#include "qvEncoder.h"
#include "qvMessageLines.h"

#include <gtest/gtest.h>

namespace {

std::string Pattern(size_t ASize, uint32_t ASeed) {
  std::string s(ASize, '\0');
  for (auto& c : s) {
    ASeed = ASeed * 1103515245u + 12345u;
    c = static_cast<char>(ASeed >> 16);
  }
  return s;
}

std::string JoinLines(const TStrings& ALines) {
  std::string out;
  for (int i = 0; i < ALines.Count(); ++i) out += ALines.Strings(i) + "|";
  return out;
}

std::string Decode(TqvEncodeMethod AMethod, const std::string& AText) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  TStringStream src(AText), dst;
  e.Decode(src, dst);
  return dst.DataString();
}

}  // namespace

TEST(MessageLines, SplitterAndStreamLinesAgreeWithSetText) {
  const std::string text = "a\r\nb\nc\rd\r\n\r\ne\r\rf\n\ng";
  TStringList expected;
  expected.SetText(text);
  for (size_t piece = 1; piece <= text.size(); ++piece) {
    TStringList got;
    TqvStringsLineSink sink(got);
    TqvLineSplitter splitter(sink);
    for (size_t p = 0; p < text.size(); p += piece) splitter.Add(std::string_view(text).substr(p, piece));
    splitter.Finish();
    EXPECT_EQ(JoinLines(got), JoinLines(expected)) << "pieces of " << piece;
  }
  for (const std::string& t : {text, text + "\r\n", std::string("\r\n"), std::string(), std::string(70000, 'x') + "\ny"}) {
    TStringStream stream(t);
    TqvStreamLines lines(stream);
    TStringList list;
    list.SetText(t);
    EXPECT_EQ(JoinLines(lines), JoinLines(list));
  }
}

TEST(MessageLines, PiecewiseEncodingGivesTheWholeEncodingsLines) {
  // Over a megabyte, so several pieces; text with line breaks for quoted-printable.
  const std::string binary = Pattern(2500000, 7);
  std::string text;
  while (text.size() < 2500000) text += "caf\xe9 line with = sign and trailing blank \r\n";
  for (const auto& [method, data] : {std::pair{cmBase64, binary}, std::pair{cmUUEncode, binary},
                                     std::pair{cmQuotedPrintable, text}, std::pair{cmNone, text}}) {
    TqvEncoder whole;
    whole.SetEncodeMethod(method);
    TStringStream src(data), dst;
    whole.Encode(src, dst);
    TStringList expected;
    expected.SetText(dst.DataString());

    TqvEncoder pieces;
    pieces.SetEncodeMethod(method);
    TStringStream source(data);
    TStringList got;
    TqvStringsLineSink sink(got);
    TqvLineSplitter splitter(sink);
    int64_t last = -1;
    EncodeStreamToLines(pieces, source, splitter, [&](TObject*, int64_t ADone, int64_t) { last = ADone; });
    EXPECT_TRUE(got.Equals(expected)) << "method " << method;
    EXPECT_EQ(last, static_cast<int64_t>(data.size()));
  }
}

TEST(MessageLines, QuotedPrintableWithoutBreaksStillDecodes) {
  const std::string data = std::string(3000000, 'q') + "\xff";
  TqvEncoder e;
  e.SetEncodeMethod(cmQuotedPrintable);
  TStringStream source(data);
  TStringList got;
  TqvStringsLineSink sink(got);
  TqvLineSplitter splitter(sink);
  EncodeStreamToLines(e, source, splitter, nullptr);
  for (int i = 0; i < got.Count(); ++i) ASSERT_LE(got.Strings(i).size(), 76u);
  std::string text = got.Text();
  text.resize(text.size() - 2);
  EXPECT_EQ(Decode(cmQuotedPrintable, text), data);
}

TEST(MessageLines, PiecewiseDecodingMatchesWholeDecoding) {
  std::string qp, uu;
  {
    TqvEncoder e;
    e.SetEncodeMethod(cmQuotedPrintable);
    qp = e.EncodeBytes(TBytes(2500000, 0xE9));
    e.SetEncodeMethod(cmUUEncode);
    const std::string raw = Pattern(2000000, 3);
    uu = e.EncodeBytes(TBytes(raw.begin(), raw.end()));
  }
  for (const auto& [method, text] : {std::pair{cmQuotedPrintable, qp}, std::pair{cmUUEncode, uu}}) {
    TqvEncoder e;
    e.SetEncodeMethod(method);
    TStringStream src(text), dst;
    DecodeStreamInPieces(e, src, dst);
    EXPECT_EQ(dst.DataString(), Decode(method, text)) << "method " << method;
  }
}

TEST(MessageLines, SpoolMovesToAFileAndKeepsEveryByte) {
  TqvSpoolStream spool(1000);
  const std::string data = Pattern(5000, 11);
  spool.WriteBuffer(data.data(), 600);
  EXPECT_FALSE(spool.Spilled());
  spool.WriteBuffer(data.data() + 600, 4400);
  EXPECT_TRUE(spool.Spilled());
  EXPECT_EQ(spool.Size(), 5000);
  std::string back(5000, '\0');
  spool.SetPosition(0);
  spool.ReadBuffer(back.data(), 5000);
  EXPECT_EQ(back, data);
  spool.SetSize(10);
  EXPECT_EQ(spool.Size(), 10);
  spool.Clear();
  EXPECT_FALSE(spool.Spilled());
  EXPECT_EQ(spool.Size(), 0);
}
