// Stored message bytes as a dot-terminated response sends them, piece by
// piece, without cutting the message into lines first. The lines are those
// the line loader makes of the bytes: CR LF, a bare LF and a bare CR each end
// one, NUL bytes are blanks, and a last line without a line break still
// counts. Each line goes out followed by CR LF; with dot-stuffing, a line
// that begins with "." gets one more in front. The output does not depend on
// where the pieces are cut. Objects belong to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TStream;

class TqvDotStuffingFilter {
 public:
  static constexpr int64_t kAllLines = -1;
  // ABodyLines >= 0 passes only the header, up to and including the first
  // empty line (all lines when there is none), and that many lines after it.
  explicit TqvDotStuffingFilter(bool AStuff = true, int64_t ABodyLines = kAllLines)
      : FStuff(AStuff), FBodyLimit(ABodyLines) {}
  // Appends the response bytes of the next piece of the message to AOut.
  void Add(std::string_view AData, std::string& AOut);
  // After the last piece: the CR LF a last line without line break lacks.
  void Finish(std::string& AOut);
  // True once the lines asked for are all out: no more pieces are needed.
  [[nodiscard]] bool Done() const { return FDone; }

 private:
  void LineEnded();

  bool FStuff;
  int64_t FBodyLimit;
  int64_t FBodyLines = 0;
  bool FInHeader = true;
  bool FHasText = false;  // the current line has bytes
  bool FDone = false;
  bool FLineStart = true;
  bool FAfterCR = false;  // an LF opening the next piece belongs to that CR
};

// The size of a message's text as its lines, each followed by CR LF, and no
// stuffing: what a line list loaded from the same bytes would measure.
class TqvLineTextSize {
 public:
  void Add(std::string_view AData);
  [[nodiscard]] int64_t Size() const;

 private:
  int64_t FBytes = 0;
  int64_t FBreaks = 0;     // CR and LF bytes
  int64_t FPairs = 0;      // CR LF pairs, one line break each
  bool FLastCR = false;
  bool FOpenLine = false;  // the last byte so far is no line break
};

// TqvLineTextSize of AStream from its position to its end; the position is
// put back. Raises the stream's read and seek errors.
[[nodiscard]] int64_t LineTextSize(TStream& AStream);
