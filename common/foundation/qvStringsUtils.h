// Lines of a TStrings to and from text and streams: TqvStringsUtils cuts text
// at CR, LF or CRLF into lines (streams in batches, in a charset, with
// progress), saves lines with CRLF, and finds and measures them; the free
// functions are one-call forms of it. TqvStringsUpdate holds a list's
// BeginUpdate/EndUpdate. Strings are byte strings of the local code page.
// An object works on a borrowed TStrings and belongs to one thread at a time.
// Errors: stream and file errors pass through (EFOpenError, EFCreateError);
// nothing else raises.
#pragma once

#include "ClassCore.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TStream;
class TStrings;

// BeginUpdate now, EndUpdate on every way out of the scope.
class TqvStringsUpdate {
 public:
  explicit TqvStringsUpdate(TStrings& AStrings);
  ~TqvStringsUpdate();
  TqvStringsUpdate(const TqvStringsUpdate&) = delete;
  TqvStringsUpdate& operator=(const TqvStringsUpdate&) = delete;

 private:
  TStrings& FStrings;
};

// Works on a borrowed TStrings. BatchSize 0 reads a stream in one batch.
class TqvStringsUtils : public TObject {
 public:
  explicit TqvStringsUtils(TStrings& AStrings, std::string ACharSet = {});
  VX_CLASS_NAME("TqvStringsUtils")

  // Cuts AText at CR, LF or CRLF (a NUL ends it) and adds the pieces as lines;
  // with AAppendToLast the first piece joins the last line. Returns 0 when the
  // text ends with LF, else its length (the last line is unfinished).
  int AddTextStr(std::string_view AText, bool AAppendToLast);
  // Reads the rest of AStream in batches (progress before each batch, starting
  // with (0, total)); NUL bytes become blanks; a line or CR LF cut by a batch
  // boundary is joined. AMaxBytes > 0 stops after that many bytes. Returns the
  // last AddTextStr result. Stream errors pass through.
  int AddTextStream(TStream& AStream);
  int AddTextStream(TStream& AStream, bool AAppendToLast);
  int AddTextStream(TStream& AStream, bool AAppendToLast, int64_t AMaxBytes);
  // First line equal to AText ignoring ASCII case, -1 when none.
  [[nodiscard]] int IndexOf(std::string_view AText) const;
  // Sum of (length + 2) over the lines.
  [[nodiscard]] int64_t GetTextSize() const;
  // The rest of the stream as the whole text; nothing when no bytes remain.
  void LoadFromStream(TStream& AStream);
  // Each line followed by CRLF, in CharSet; nothing for an empty text.
  void SaveToStream(TStream& AStream) const;

  TStrings* Strings;
  int32_t BatchSize = 0;
  std::string CharSet;
  TqvProgressEvent OnProgress;

 protected:
  virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);
};

[[nodiscard]] int IndexOfText(std::string_view AText, const std::vector<std::string>& AArray);
[[nodiscard]] int IndexOfText(std::string_view AText, const TStrings& AStrings);
[[nodiscard]] int64_t GetStringsSize(const TStrings& AStrings);
int AddTextStr(TStrings& AList, std::string_view AText, bool AAppend);
int AddTextStream(TStrings& AList, TStream& AStream);
void SaveStringsToStream(const TStrings& AStrings, TStream& AStream, const std::string& ACharSet = {});
// Creates or truncates the file, even for an empty text. Raises EFCreateError.
void SaveStringsToFile(const TStrings& AStrings, const std::string& AFileName,
                       const std::string& ACharSet = {});
void LoadStringsFromStream(TStream& AStream, TStrings& AStrings, const std::string& ACharSet = {});
// Raises EFOpenError; an empty file leaves the list untouched.
void LoadStringsFromFile(const std::string& AFileName, TStrings& AStrings,
                         const std::string& ACharSet = {});
