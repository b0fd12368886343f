#include "qvStringsUtils.h"

#include "Streams.h"
#include "StringList.h"
#include "qvTextSplit.h"
#include "qvTranslator.h"

#include <algorithm>

namespace {

bool IsUtf8(std::string_view cs) { return SameTextAscii(cs, "utf-8"); }

// Bytes at the end of a UTF-8 batch that start a sequence the batch cuts off.
size_t IncompleteUtf8Tail(const std::string& buf) {
  const size_t n = buf.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(buf[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: keep looking
    size_t need = 1;
    if (c >= 0xF0) need = 4;
    else if (c >= 0xE0) need = 3;
    else if (c >= 0xC0) need = 2;
    return need > back ? back : 0;
  }
  return 0;
}

}  // namespace

TqvStringsUpdate::TqvStringsUpdate(TStrings& AStrings) : FStrings(AStrings) { FStrings.BeginUpdate(); }

TqvStringsUpdate::~TqvStringsUpdate() { FStrings.EndUpdate(); }

TqvStringsUtils::TqvStringsUtils(TStrings& AStrings, std::string ACharSet)
    : Strings(&AStrings), CharSet(std::move(ACharSet)) {}

void TqvStringsUtils::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

int TqvStringsUtils::AddTextStr(std::string_view AText, bool AAppendToLast) {
  AText = AText.substr(0, AText.find('\0'));
  TqvStringsUpdate guard(*Strings);
  bool first = true;
  size_t pos = 0;
  while (pos < AText.size()) {
    const size_t brk = AText.find_first_of("\r\n", pos);
    const size_t end = brk == std::string_view::npos ? AText.size() : brk;
    const std::string piece(AText.substr(pos, end - pos));
    if (first && AAppendToLast && Strings->Count() > 0) {
      const int last = Strings->Count() - 1;
      Strings->SetStrings(last, Strings->Strings(last) + piece);
    } else {
      Strings->Add(piece);
    }
    first = false;
    pos = end + 1;
    if (brk != std::string_view::npos && AText[brk] == '\r' && pos < AText.size() && AText[pos] == '\n') ++pos;
  }
  // Only a final LF finishes the text; a lone CR may still meet its LF.
  if (AText.empty() || AText.back() == '\n') return 0;
  return static_cast<int>(AText.size());
}

int TqvStringsUtils::AddTextStream(TStream& AStream) { return AddTextStream(AStream, false, 0); }

int TqvStringsUtils::AddTextStream(TStream& AStream, bool AAppendToLast) {
  return AddTextStream(AStream, AAppendToLast, 0);
}

int TqvStringsUtils::AddTextStream(TStream& AStream, bool AAppendToLast, int64_t AMaxBytes) {
  const int64_t remaining = AStream.Size() - AStream.Position();
  if (remaining <= 0) return 0;
  const int64_t batch = (BatchSize > 0 && BatchSize < remaining) ? BatchSize : remaining;
  std::string buf;
  std::string carry;  // a UTF-8 sequence cut by the previous batch
  int64_t counted = 0;
  int result = 0;
  bool append = AAppendToLast;
  bool skipLF = false;
  const bool utf8 = IsUtf8(CharSet);
  for (;;) {
    int64_t want = batch;
    if (AMaxBytes > 0) want = std::min(want, AMaxBytes - counted);
    if (want <= 0) break;
    buf.resize(static_cast<size_t>(want));
    const int64_t n = AStream.Read(buf.data(), want);
    if (n <= 0) break;
    buf.resize(static_cast<size_t>(n));
    DoProgress(counted, remaining);
    counted += n;
    // NUL bytes would end the conversion early; they count as blanks.
    for (char& c : buf)
      if (c == '\0') c = ' ';
    std::string bytes = carry + buf;
    carry.clear();
    const bool more = AMaxBytes <= 0 || counted < AMaxBytes;
    if (utf8 && more) {
      const size_t tail = IncompleteUtf8Tail(bytes);
      carry = bytes.substr(bytes.size() - tail);
      bytes.resize(bytes.size() - tail);
    }
    std::string text = TqvTranslator::GetString(bytes.data(), static_cast<int>(bytes.size()), CharSet);
    if (skipLF && !text.empty() && text.front() == '\n') text.erase(0, 1);
    skipLF = false;
    if (text.empty() && bytes.empty()) continue;
    result = AddTextStr(text, append);
    // A CR at the end already ended its line; an LF opening the next batch
    // belongs to it.
    const bool endsCR = !text.empty() && text.back() == '\r';
    append = result != 0 && !endsCR;
    skipLF = endsCR;
  }
  if (!carry.empty())
    result = AddTextStr(TqvTranslator::GetString(carry.data(), static_cast<int>(carry.size()), CharSet), append);
  return result;
}

int TqvStringsUtils::IndexOf(std::string_view AText) const {
  for (int i = 0; i < Strings->Count(); ++i)
    if (SameTextAscii(Strings->Strings(i), AText)) return i;
  return -1;
}

int64_t TqvStringsUtils::GetTextSize() const {
  int64_t n = 0;
  for (int i = 0; i < Strings->Count(); ++i) n += static_cast<int64_t>(Strings->Strings(i).size()) + 2;
  return n;
}

void TqvStringsUtils::LoadFromStream(TStream& AStream) {
  const int64_t n = AStream.Size() - AStream.Position();
  if (n <= 0) return;
  std::string buf(static_cast<size_t>(n), '\0');
  AStream.ReadBuffer(buf.data(), n);
  for (char& c : buf)
    if (c == '\0') c = ' ';
  Strings->SetText(TqvTranslator::GetString(buf.data(), static_cast<int>(buf.size()), CharSet));
}

void TqvStringsUtils::SaveToStream(TStream& AStream) const {
  std::string text;
  for (int i = 0; i < Strings->Count(); ++i) text += Strings->Strings(i) + "\r\n";
  if (text.empty()) return;
  const TBytes bytes = TqvTranslator::GetBytes(text, CharSet);
  AStream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

int IndexOfText(std::string_view AText, const std::vector<std::string>& AArray) {
  for (size_t i = 0; i < AArray.size(); ++i)
    if (SameTextAscii(AArray[i], AText)) return static_cast<int>(i);
  return -1;
}

int IndexOfText(std::string_view AText, const TStrings& AStrings) {
  return TqvStringsUtils(const_cast<TStrings&>(AStrings)).IndexOf(AText);
}

int64_t GetStringsSize(const TStrings& AStrings) {
  return TqvStringsUtils(const_cast<TStrings&>(AStrings)).GetTextSize();
}

int AddTextStr(TStrings& AList, std::string_view AText, bool AAppend) {
  return TqvStringsUtils(AList).AddTextStr(AText, AAppend);
}

int AddTextStream(TStrings& AList, TStream& AStream) { return TqvStringsUtils(AList).AddTextStream(AStream); }

void SaveStringsToStream(const TStrings& AStrings, TStream& AStream, const std::string& ACharSet) {
  TqvStringsUtils(const_cast<TStrings&>(AStrings), ACharSet).SaveToStream(AStream);
}

void SaveStringsToFile(const TStrings& AStrings, const std::string& AFileName, const std::string& ACharSet) {
  TFileStream f(AFileName, fmCreate);  // truncates even when nothing is written
  SaveStringsToStream(AStrings, f, ACharSet);
}

void LoadStringsFromStream(TStream& AStream, TStrings& AStrings, const std::string& ACharSet) {
  TqvStringsUtils(AStrings, ACharSet).LoadFromStream(AStream);
}

void LoadStringsFromFile(const std::string& AFileName, TStrings& AStrings, const std::string& ACharSet) {
  TFileStream f(AFileName, fmOpenRead | fmShareDenyWrite);
  LoadStringsFromStream(f, AStrings, ACharSet);
}
