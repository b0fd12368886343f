#include "qvDotStuffing.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "Streams.h"
#include "StringList.h"
#include "qvUtils.h"

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
