// General routines every unit of the library leans on: the mail date text and
// its parser, the owned byte buffer TqvBinaryData, the line loader/saver
// TqvStringsUtils (text streams to and from a TStrings in a charset, in
// batches), string helpers (quoting, splitting, words, searching), byte and
// big-endian helpers, folder and file helpers. All strings are byte strings of
// the local code page; positions are 1-based. Everything is re-entrant; a
// TqvBinaryData or TqvStringsUtils object belongs to one thread at a time.
// Errors: MailTimeToDateTime and StrToTimeOfDay raise EConvertError on bad
// numbers or impossible dates; the big-endian helpers and SplitText raise
// EAssertionFailed on a broken precondition; everything else returns its
// neutral value (0, -1, empty, false). Local time follows the process TZ.
#pragma once

#include "ClassCore.h"
#include "DateTime.h"
#include "MessageLoop.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TStream;
class TStrings;

// ---- Mail date and time zone ----

// English names, independent of the locale: index 1 = Sunday / January.
[[nodiscard]] const std::string& ShortDayName(int ADayOfWeek);
[[nodiscard]] const std::string& ShortMonthName(int AMonth);

// The local offset now as "+hhmm"/"-hhmm" ("+0100" for CET, "-0500" for EST).
[[nodiscard]] std::string GetTimeZoneBias();
// The offset in force at the local time ALocal (daylight time included).
[[nodiscard]] std::string GetTimeZoneBias(TDateTime ALocal);
// "+hhmm" or "-hhmm" as a signed fraction of a day; 0 for anything else
// (zone names, short text, hours > 23, minutes > 59).
[[nodiscard]] TDateTime TimeZoneToDateTime(std::string_view AZone);
[[nodiscard]] TDateTime GlobalTimeToLocalTime(TDateTime AUtc);
[[nodiscard]] TDateTime LocalTimeToGlobalTime(TDateTime ALocal);
// A file time (100 ns units since 1601-01-01 UTC) as local time; 0 when it is
// out of range.
[[nodiscard]] TDateTime FileTimeToLocalDateTime(int64_t AFileTime);
// "Thu, 5 Mar 2026 09:04:07 +0100"; the offset is the one in force at ALocal.
[[nodiscard]] std::string DateTimeToMailTime(TDateTime ALocal);
// The local time of a mail date; 0 when day, month or year is missing.
// AZone receives the text's offset as a fraction of a day. A day or year that
// is no number, or an impossible date or time, raises EConvertError. Two-digit
// years: 0..10 are 2000..2010, 11..99 are 1911..1999. Without a zone after the
// time the time is not read (00:00:00).
[[nodiscard]] TDateTime MailTimeToDateTime(std::string_view AText, TDateTime& AZone);
[[nodiscard]] TDateTime MailTimeToDateTime(std::string_view AText);
// "h:m:s" with an optional AM/PM as a fraction of a day; missing or non-numeric
// parts count as 0; an impossible time raises EConvertError.
[[nodiscard]] TDateTime StrToTimeOfDay(std::string_view AText);
[[nodiscard]] int GetCurrentMonth();

// ---- Owned byte buffer ----

// Owns Data (nullptr when empty) of DataSize bytes. A descendant that replaces
// AllocData/FreeData must call Clear in its own destructor, since the base
// destructor can only reach the base FreeData.
class TqvBinaryData : public TObject {
 public:
  TqvBinaryData() = default;
  // ASize > 0 allocates (contents undefined).
  explicit TqvBinaryData(int32_t ASize);
  ~TqvBinaryData() override;
  TqvBinaryData(const TqvBinaryData&) = delete;
  TqvBinaryData& operator=(const TqvBinaryData&) = delete;
  VX_CLASS_NAME("TqvBinaryData")

  // Frees, sets DataSize and allocates when ASize > 0 (a negative size leaves
  // DataSize negative and nothing allocated).
  void Allocate(int32_t ASize);
  void Clear();
  void AssignBytes(const TBytes& ABytes);
  // Clipped to the array; a count below 1 or a start outside it gives empty.
  void AssignRange(const TBytes& ABytes, int AStart, int ACount);
  // The rest of the stream / up to ACount bytes of it.
  void AssignStream(TStream& AStream);
  void ReadFromStream(TStream& AStream, int64_t ACount);
  // Only lowers DataSize; the memory stays.
  void Reduce(int32_t ASize);
  [[nodiscard]] TBytes ToBytes() const;
  void WriteTo(TStream& AStream) const;
  // DataSize div 2 UTF-16 units, one trailing NUL unit dropped.
  [[nodiscard]] std::u16string ToWideString() const;

  uint8_t* Data = nullptr;
  int32_t DataSize = 0;
  std::string CharSet;

 protected:
  virtual void FreeData(uint8_t*& P) noexcept;
  virtual void AllocData(uint8_t*& P, int32_t ASize);
};

// ---- Lines to and from streams ----

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

// ---- String helpers ----

// Case-sensitive; 0 when not found, AStart <= 0 or ASubStr empty.
[[nodiscard]] int TextPos(std::string_view ASubStr, std::string_view AText, int AStart = 1);
// Case-insensitive, backwards: the highest match at or before AStart (-1 = end).
[[nodiscard]] int RTextPos(std::string_view ASubStr, std::string_view AText, int AStart = -1);
[[nodiscard]] std::string RemoveTrailingChars(std::string_view AText, std::string_view ACharSet);

// Splits at ASeparator outside quoted runs; AOpenQuotes[k] pairs with
// ACloseQuotes[k] (unequal lengths raise EAssertionFailed). Empty pieces are
// dropped unless they held a quoted run. Inside a run only its own pair
// counts, so a ")" within quotes inside "(...)" still closes the group.
void SplitText(std::string_view AText, TStrings& AList, char ASeparator, bool AKeepQuotes,
               std::string_view AOpenQuotes, std::string_view ACloseQuotes);
void SplitText(std::string_view AText, TStrings& AList, char ASeparator);
void SplitText(std::string_view AText, TStrings& AList);

// Splits at any delimiter, keeping empty words ("a,,b" -> a, "", b; "a," -> a,
// ""); control characters other than TAB around words are dropped; an empty
// text gives no words.
void ExtractWords(std::string_view AText, TStrings& AList, std::string_view ADelimiters);
void ExtractWords(std::string_view AText, TStrings& AList, char ADelimiter);

// Words are maximal runs outside the delimiter set.
[[nodiscard]] int WordCount(std::string_view AText, std::string_view ADelimiters);
[[nodiscard]] int WordPosition(int AN, std::string_view AText, std::string_view ADelimiters);
[[nodiscard]] std::string ExtractWord(int AN, std::string_view AText, std::string_view ADelimiters);

// Removes one enclosing pair when the text is longer than one character.
[[nodiscard]] std::string ExtractQuotedString(std::string_view AText);
[[nodiscard]] std::string ExtractQuotedString(std::string_view AText, char AQuote);
[[nodiscard]] std::string ExtractQuotedString(std::string_view AText, char AOpen, char AClose);
// Adds the pair unless a non-empty text already starts or ends with it.
[[nodiscard]] std::string GetQuotedString(std::string_view AText);
[[nodiscard]] std::string GetQuotedString(std::string_view AText, char AOpen, char AClose);
// Appends AChar to a non-empty text not ending with it.
[[nodiscard]] std::string AddTrailingChar(std::string_view AText, char AChar);

// ---- Bytes ----

[[nodiscard]] TBytes ReverseBytes(const TBytes& ABytes);
[[nodiscard]] int FirstNonZeroByte(const TBytes& ABytes);
// An all-zero array is returned whole.
[[nodiscard]] TBytes TrimLeadingZeroBytes(const TBytes& ABytes);
// Two upper-case digits per byte; the separator only between bytes.
[[nodiscard]] std::string BytesToHex(const TBytes& ABytes);
[[nodiscard]] std::string BytesToHex(const TBytes& ABytes, std::string_view ASeparator);
[[nodiscard]] std::string BytesToHex(const void* ABuffer, int ACount);
// Big-endian store/load at AIndex, which advances by 2 or 4. Out of range:
// the stores raise EAssertionFailed, the loads return 0 and leave AIndex.
void PutWordBE(uint16_t AValue, TBytes& ABytes, int& AIndex);
void PutDWordBE(uint32_t AValue, TBytes& ABytes, int& AIndex);
[[nodiscard]] uint16_t GetWordBE(const TBytes& ABytes, int& AIndex);
[[nodiscard]] uint32_t GetDWordBE(const TBytes& ABytes, int& AIndex);
[[nodiscard]] constexpr uint16_t MakeWordBE(uint8_t AHigh, uint8_t ALow) {
  return static_cast<uint16_t>((AHigh << 8) | ALow);
}
[[nodiscard]] bool ByteArraysEqual(const TBytes& A, const TBytes& B);

// ---- Files and system ----

// Creates a folder with its missing parents ("/" separators, a trailing "/"
// ignored). True for "", "/" and an existing folder; false when a creation
// fails or a part of the path is not a folder.
[[nodiscard]] bool ForceDirectoryPath(const std::string& ADir);
[[nodiscard]] bool ForceFileDirectories(const std::string& AFileName);
// Deletes ADir's files and sub-folders, then ADir; the result is that of the
// final removal. Symbolic links are removed, never followed.
bool DeleteDirectoryTree(const std::string& ADir);
// Sets access and modification times (creating a missing file, never
// truncating); does nothing when the file cannot be opened.
void SetFileDateTime(const std::string& AFileName, TDateTime ALocalTime);
// The same for a file that must already be there: never creates one and
// never follows a symbolic link. False when the file is missing or the
// system refuses.
[[nodiscard]] bool SetExistingFileDateTime(const std::string& AFileName, TDateTime ALocalTime);
// Last write time as local time; the current time when the file is missing.
[[nodiscard]] TDateTime GetFileDateTime(const std::string& AFileName);
// The effective user's name; "" when there is none.
[[nodiscard]] std::string GetCurrentUserName();
[[nodiscard]] uint32_t GetLastErrorCode();
template <typename T>
[[nodiscard]] T ReturnArgument(T AValue) {
  return AValue;
}
// Create / destroy a hidden message window of the calling thread under one
// process-wide lock.
[[nodiscard]] std::unique_ptr<plat::TMessageWindow> AllocateWindowSafe(plat::TMessageWindow::Handler AMethod);
void DeallocateWindowSafe(std::unique_ptr<plat::TMessageWindow>& AWnd);
