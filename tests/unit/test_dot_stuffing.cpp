#include "qvDotStuffing.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "Streams.h"
#include "StringList.h"
#include "qvStringsUtils.h"

namespace {

// What the line road sends for the same bytes: the lines the loader makes,
// each stuffed and followed by CR LF; and their text size.
std::string ByLines(const std::string& AInput, bool AStuff, int64_t* ASize = nullptr) {
  TStringList lines;
  TStringStream stream(AInput);
  LoadStringsFromStream(stream, lines);
  std::string out;
  int64_t size = 0;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string line = lines.Strings(i);
    if (AStuff && !line.empty() && line[0] == '.') out += '.';
    out += line + "\r\n";
    size += static_cast<int64_t>(line.size()) + 2;
  }
  if (ASize) *ASize = size;
  return out;
}

// AInput fed in pieces ending at the given offsets.
std::string Filtered(const std::string& AInput, const std::vector<size_t>& ACuts, bool AStuff,
                     int64_t* ASize = nullptr) {
  TqvDotStuffingFilter filter(AStuff);
  TqvLineTextSize size;
  std::string out;
  size_t from = 0;
  for (size_t i = 0; i <= ACuts.size(); ++i) {
    const size_t to = i < ACuts.size() ? ACuts[i] : AInput.size();
    filter.Add(std::string_view(AInput).substr(from, to - from), out);
    size.Add(std::string_view(AInput).substr(from, to - from));
    from = to;
  }
  filter.Finish(out);
  if (ASize) *ASize = size.Size();
  return out;
}

}  // namespace

TEST(DotStuffing, PiecesCutAnywhereGiveWhatTheLinesGive) {
  // A dot line, a CR or a CR LF at a piece's end, a NUL byte, and a message
  // without a final line break: every cut into two or three pieces.
  const std::string cases[] = {
      std::string("a\r\n.\r\n..b\r\nc\rd\ne\0f\r\n.", 22),
      "\r\n\r\r\n\n\r",
      ".",
      "",
      "no break at the end",
      ".\r.\n.\r\n",
  };
  for (const std::string& input : cases) {
    int64_t expectedSize = 0;
    const std::string expected = ByLines(input, true, &expectedSize);
    for (size_t a = 0; a <= input.size(); ++a) {
      for (size_t b = a; b <= input.size(); ++b) {
        int64_t size = 0;
        ASSERT_EQ(Filtered(input, {a, b}, true, &size), expected) << testing::PrintToString(input) << a << " " << b;
        ASSERT_EQ(size, expectedSize) << testing::PrintToString(input) << a << " " << b;
      }
    }
    EXPECT_EQ(Filtered(input, {}, false), ByLines(input, false)) << testing::PrintToString(input);
  }
}

TEST(DotStuffing, NamedEdgesOfPieces) {
  // A "." line whose line break starts the next piece.
  EXPECT_EQ(Filtered("a\r\n.\r\nb", {4}, true), "a\r\n..\r\nb\r\n");
  // A CR ending a piece and its LF opening the next: one line break.
  EXPECT_EQ(Filtered("a\r\nb", {2}, true), "a\r\nb\r\n");
  // A CR ending a piece with no LF after it: a line break of its own.
  EXPECT_EQ(Filtered("a\r.b", {2}, true), "a\r\n..b\r\n");
  // A dot that starts a piece in the middle of a line stays single.
  EXPECT_EQ(Filtered("ab.c\r\n", {2}, true), "ab.c\r\n");
}

TEST(DotStuffing, HeaderAndSomeBodyLinesAsTopWouldSendThem) {
  // The lines up to the first empty one, then ABody more: what TOP picks
  // from the line list, for every count and every cut into two pieces.
  auto top = [](const std::string& AInput, int64_t ABody) {
    TStringList lines;
    TStringStream stream(AInput);
    LoadStringsFromStream(stream, lines);
    int header = lines.Count();
    for (int i = 0; i < lines.Count(); ++i)
      if (lines.Strings(i).empty()) {
        header = i + 1;
        break;
      }
    const int64_t count = header + std::min<int64_t>(ABody, lines.Count() - header);
    std::string out;
    for (int i = 0; i < count; ++i) {
      const std::string line = lines.Strings(i);
      out += (line.starts_with(".") ? "." : "") + line + "\r\n";
    }
    return out;
  };
  for (const std::string input : {"A: 1\r\nB: 2\r\n\r\n.one\r\ntwo\r\n\r\nthree", "no header end\r\n.x", "\r\nbody\r\n",
                                   "A: 1\r\r\nb\n\n", ""}) {
    for (int64_t body = 0; body <= 5; ++body) {
      const std::string expected = top(input, body);
      for (size_t cut = 0; cut <= input.size(); ++cut) {
        TqvDotStuffingFilter filter(true, body);
        std::string out;
        filter.Add(std::string_view(input).substr(0, cut), out);
        filter.Add(std::string_view(input).substr(cut), out);
        filter.Finish(out);
        ASSERT_EQ(out, expected) << testing::PrintToString(input) << " body " << body << " cut " << cut;
      }
    }
  }
  // Done as soon as the last line asked for has ended: the rest is never read.
  TqvDotStuffingFilter filter(true, 1);
  std::string out;
  filter.Add("H: 1\r\n\r\nfirst\r", out);
  EXPECT_TRUE(filter.Done());
  EXPECT_EQ(out, "H: 1\r\n\r\nfirst\r\n");
}

TEST(DotStuffing, SizeCountsLongRandomTextInRandomPieces) {
  // Long enough for the sixteen-byte steps, with breaks at their edges.
  std::mt19937 random(7);
  const char alphabet[] = {'\r', '\n', '.', 'x', '\0', 'y'};
  for (int round = 0; round < 200; ++round) {
    std::string input(random() % 300, 'x');
    for (char& c : input) c = alphabet[random() % sizeof alphabet];
    std::vector<size_t> cuts;
    for (size_t at = random() % 40; at < input.size(); at += 1 + random() % 40) cuts.push_back(at);
    int64_t expectedSize = 0;
    const std::string expected = ByLines(input, true, &expectedSize);
    int64_t size = 0;
    ASSERT_EQ(Filtered(input, cuts, true, &size), expected) << round;
    ASSERT_EQ(size, expectedSize) << round;
  }
}

TEST(DotStuffing, LongLinesWithRareBreaksInLargePieces) {
  // Lines of up to a few hundred bytes, ended by CR LF, a lone CR or a lone
  // LF, with a NUL or a leading dot now and then, cut into large pieces.
  std::mt19937 random(11);
  for (int round = 0; round < 50; ++round) {
    std::string input;
    const char* const breaks[] = {"\r\n", "\r", "\n"};
    while (input.size() < 20000) {
      if (random() % 8 == 0) input += '.';
      input += std::string(random() % 300, 'x');
      if (random() % 16 == 0) input += '\0';
      input += breaks[round % 3 == 0 ? random() % 3 : round % 3 == 1 ? 1 : 0];
    }
    std::vector<size_t> cuts;
    for (size_t at = random() % 5000; at < input.size(); at += 1 + random() % 5000) cuts.push_back(at);
    ASSERT_EQ(Filtered(input, cuts, true), ByLines(input, true)) << round;
  }
}

TEST(DotStuffing, StreamSizeLeavesThePositionAlone) {
  std::string text;
  for (int i = 0; i < 40000; ++i) text += i % 3 ? "line\r\n" : "bare\n";
  text += "open";
  int64_t expected = 0;
  (void)ByLines(text, true, &expected);
  TStringStream memory(text);
  memory.SetPosition(0);
  EXPECT_EQ(LineTextSize(memory), expected);
  EXPECT_EQ(memory.Position(), 0);
  // Past the start: only what follows counts.
  memory.SetPosition(static_cast<int64_t>(text.size()) - 4);
  EXPECT_EQ(LineTextSize(memory), 6);
}
