#include "qvEncoder.h"

#include "Streams.h"
#include "qvTranslator.h"

#include <array>
#include <cmath>

const char* EncoderErrorText(int ACode) {
  return plat::CodeText(kEncoderErrors, ACode);
}

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// -1 for a byte outside the alphabet, -2 for the bytes decoding skips.
constexpr std::array<int8_t, 256> MakeBase64Table() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
  t['\r'] = t['\n'] = t[' '] = t['='] = -2;
  return t;
}
constexpr auto kBase64Table = MakeBase64Table();

std::string ReadRest(TStream& AStream) {
  const int64_t pos = AStream.Position();
  const int64_t size = AStream.Size();
  std::string data;
  if (size > pos) {
    data.resize(static_cast<size_t>(size - pos));
    data.resize(static_cast<size_t>(AStream.Read(data.data(), static_cast<int64_t>(data.size()))));
  }
  return data;
}

void WriteAll(TStream& ADest, std::string_view AData) {
  if (!AData.empty()) ADest.WriteBuffer(AData.data(), static_cast<int64_t>(AData.size()));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendHexEscape(std::string& AOut, uint8_t b) {
  AOut += '=';
  AOut += kHexDigits[b >> 4];
  AOut += kHexDigits[b & 15];
}

char UUChar(unsigned v) {
  v &= 63;
  return v == 0 ? '`' : static_cast<char>(v + 32);
}

// The next line of AIn from APos and how many line breaks (CR, LF and CRLF
// count one each) came before it; End when only breaks were left.
struct TLine {
  std::string_view Text;
  int Breaks = 0;
  bool End = false;
};
TLine NextLine(std::string_view AIn, size_t& APos) {
  TLine line;
  const size_t n = AIn.size();
  while (APos < n && (AIn[APos] == '\r' || AIn[APos] == '\n')) {
    if (AIn[APos] == '\r' && APos + 1 < n && AIn[APos + 1] == '\n') ++APos;
    ++APos;
    ++line.Breaks;
  }
  line.End = APos >= n;
  const size_t start = APos;
  while (APos < n && AIn[APos] != '\r' && AIn[APos] != '\n') ++APos;
  line.Text = AIn.substr(start, APos - start);
  return line;
}

std::string BytesToString(const TBytes& ABytes) { return std::string(ABytes.begin(), ABytes.end()); }
TBytes StringToBytes(std::string_view AText) { return TBytes(AText.begin(), AText.end()); }

}  // namespace

TqvEncoder::TqvEncoder(TComponent* AOwner) : TComponent(AOwner) {}

void TqvEncoder::SetCharsPerLine(int Value) {
  if (FCharsPerLine != Value) { FCharsPerLine = Value; Changed(); }
}
void TqvEncoder::SetEncodeMethod(TqvEncodeMethod Value) {
  if (FEncodeMethod != Value) { FEncodeMethod = Value; Changed(); }
}
void TqvEncoder::SetSuppressCrlf(bool Value) {
  if (FSuppressCrlf != Value) { FSuppressCrlf = Value; Changed(); }
}
void TqvEncoder::SetBatchSize(int Value) {
  if (FBatchSize != Value) { FBatchSize = Value; Changed(); }
}
void TqvEncoder::SetAllowESC(bool Value) {
  if (FAllowESC != Value) { FAllowESC = Value; Changed(); }
}
void TqvEncoder::SetCharSet(const std::string& Value) {
  if (FCharSet != Value) { FCharSet = Value; Changed(); }
}
void TqvEncoder::SetErrorProcessing(TqvEncodeErrorProcessing Value) {
  if (FErrorProcessing != Value) { FErrorProcessing = Value; Changed(); }
}

void TqvEncoder::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

int TqvEncoder::GetLineLength() const {
  const int n = FCharsPerLine;
  switch (FEncodeMethod) {
    case cmQuotedPrintable:
      return n < 4 ? 4 : (n > 132 ? 132 : n);
    case cmBase64:
      if (n < 64) return 64;
      return static_cast<int>(std::nearbyint(n / 4.0 + 0.25)) * 4;  // ties to even
    case cmUUEncode:
      return n < 3 ? 3 : (n > 132 ? 132 : n);
    default:
      return n < 1 ? 76 : n;
  }
}

void TqvEncoder::Encode(TStream& ASource, TStream& ADest) {
  if (ASource.Size() - ASource.Position() <= 0) return;
  if (FEncodeMethod > cm8Bit || FEncodeMethod < cmNone) throw EqvEncoderError(kEncoderUnsupportedFormat);
  const std::string in = ReadRest(ASource);
  const auto total = static_cast<int64_t>(in.size());
  switch (FEncodeMethod) {
    case cmQuotedPrintable: WriteAll(ADest, EncodeQP(in)); break;
    case cmBase64: WriteAll(ADest, EncodeBase64(in)); break;
    case cmUUEncode: WriteAll(ADest, EncodeUU(in)); break;
    default:
      DoProgress(0, total);
      WriteAll(ADest, in);
      DoProgress(total, total);
  }
}

void TqvEncoder::Decode(TStream& ASource, TStream& ADest) {
  const int64_t total = ASource.Size() - ASource.Position();
  if (total <= 0) return;
  if (FEncodeMethod > cm8Bit || FEncodeMethod < cmNone) throw EqvEncoderError(kEncoderUnsupportedFormat);
  if (FEncodeMethod == cmBase64) {
    DecodeBase64(ASource, ADest, total);
    return;
  }
  const std::string in = ReadRest(ASource);
  switch (FEncodeMethod) {
    case cmQuotedPrintable: WriteAll(ADest, DecodeQP(in)); break;
    case cmUUEncode: WriteAll(ADest, DecodeUU(in)); break;
    default:
      DoProgress(0, total);
      WriteAll(ADest, in);
      DoProgress(total, total);
  }
}

// ---- base64 ----

std::string TqvEncoder::EncodeBase64(std::string_view AIn) {
  const auto total = static_cast<int64_t>(AIn.size());
  DoProgress(0, total);
  if (total == 0) return {};
  const size_t perLine = FSuppressCrlf ? AIn.size() : static_cast<size_t>(GetLineLength() * 3 / 4);
  const size_t lines = (AIn.size() + perLine - 1) / perLine;
  std::string out;
  out.reserve((AIn.size() + 2) / 3 * 4 + lines * 2);
  const size_t step = lines / 1000 + 1;
  for (size_t line = 0; line < lines; ++line) {
    if (line > 0) out += "\r\n";
    const size_t start = line * perLine;
    const size_t end = std::min(AIn.size(), start + perLine);
    for (size_t i = start; i < end; i += 3) {
      const size_t left = end - i;
      const uint32_t b0 = static_cast<uint8_t>(AIn[i]);
      const uint32_t b1 = left > 1 ? static_cast<uint8_t>(AIn[i + 1]) : 0;
      const uint32_t b2 = left > 2 ? static_cast<uint8_t>(AIn[i + 2]) : 0;
      const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
      out += kBase64Alphabet[(v >> 18) & 63];
      out += kBase64Alphabet[(v >> 12) & 63];
      out += left > 1 ? kBase64Alphabet[(v >> 6) & 63] : '=';
      out += left > 2 ? kBase64Alphabet[v & 63] : '=';
    }
    if (line % step == 0 && line + 1 < lines)
      DoProgress(total / 2 + static_cast<int64_t>(end) / 2, total);
  }
  DoProgress(total, total);
  return out;
}

void TqvEncoder::DecodeBase64(TStream& ASource, TStream& ADest, int64_t ATotal) {
  if (FErrorProcessing != epStop && FErrorProcessing != epContinue)
    throw Exception("Unknown ErrorProcessing option");
  DoProgress(0, ATotal);
  FStopped = false;
  const int64_t batch = std::min<int64_t>(FBatchSize < 1 ? 8192 : FBatchSize, ATotal);
  std::string buf(static_cast<size_t>(batch), '\0');
  std::string out;
  int state = 0;
  uint32_t acc = 0;
  int64_t done = 0;
  while (!FStopped && done < ATotal) {
    const int64_t got = ASource.Read(buf.data(), std::min<int64_t>(batch, ATotal - done));
    if (got <= 0) break;
    out.clear();
    for (int64_t i = 0; i < got; ++i) {
      const int v = kBase64Table[static_cast<uint8_t>(buf[static_cast<size_t>(i)])];
      if (v == -2) continue;
      if (v < 0) {
        if (FErrorProcessing == epStop) throw EqvEncoderError(kEncoderWrongSymbols);
        FStopped = true;
        break;
      }
      switch (state) {
        case 0: acc = static_cast<uint32_t>(v) << 2; break;
        case 1: out += static_cast<char>((acc + (v >> 4)) & 0xFF); acc = static_cast<uint32_t>(v) << 4; break;
        case 2: out += static_cast<char>((acc + (v >> 2)) & 0xFF); acc = static_cast<uint32_t>(v) << 6; break;
        default: out += static_cast<char>((acc + v) & 0xFF); break;
      }
      state = (state + 1) & 3;
    }
    WriteAll(ADest, out);
    done += got;
    DoProgress(done, ATotal);
  }
}

// ---- quoted-printable ----

std::string TqvEncoder::EncodeQP(std::string_view AIn) {
  const auto total = static_cast<int64_t>(AIn.size());
  const int limit = GetLineLength() - 6;
  DoProgress(0, total);
  std::string out;
  size_t pos = 0;
  const size_t n = AIn.size();
  // A blank that would end a line is lost by transports that trim lines.
  const auto endsLine = [&](size_t p) {
    return p + 1 >= n || (AIn[p + 1] == '\r' && p + 2 < n && AIn[p + 2] == '\n');
  };
  while (pos < n) {
    int i = 0;
    bool hardBreak = false;
    while (pos < n && (FSuppressCrlf || i <= limit || i == 0)) {
      const auto b = static_cast<uint8_t>(AIn[pos]);
      if (b == '\r') {
        if (pos + 1 < n && AIn[pos + 1] == '\n') {
          out += "\r\n";
          pos += 2;
          hardBreak = true;
          break;
        }
        AppendHexEscape(out, b);
        i += 3;
      } else if (b == ' ' && endsLine(pos)) {
        AppendHexEscape(out, b);
        i += 3;
      } else if ((b >= 32 && b <= 60) || (b >= 62 && b <= 126)) {
        out += static_cast<char>(b);
        ++i;
      } else {
        AppendHexEscape(out, b);
        i += 3;
      }
      ++pos;
    }
    if (!hardBreak && pos < n) out += "=\r\n";
    DoProgress(static_cast<int64_t>(pos), total);
  }
  return out;
}

std::string TqvEncoder::DecodeQP(std::string_view AIn) {
  const auto total = static_cast<int64_t>(AIn.size());
  DoProgress(0, total);
  std::string out;
  size_t pos = 0;
  bool soft = false;
  while (true) {
    const TLine next = NextLine(AIn, pos);
    int breaks = next.Breaks;
    if (soft && breaks > 0) --breaks;
    for (int k = 0; k < breaks; ++k) out += "\r\n";
    if (next.End) break;
    const std::string_view line = next.Text;
    soft = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '=') {
        out += line[i];
        continue;
      }
      // "=" followed by nothing but blanks is a soft break whose line was padded.
      if (line.find_first_not_of(" \t", i + 1) == std::string_view::npos) {
        soft = true;
        break;
      }
      const int hi = HexValue(line[i + 1]);
      const int lo = i + 2 < line.size() ? HexValue(line[i + 2]) : -1;
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
      } else {
        out += '=';
      }
    }
    DoProgress(static_cast<int64_t>(pos), total);
  }
  DoProgress(total, total);
  return out;
}

// ---- uuencode ----

std::string TqvEncoder::EncodeUU(std::string_view AIn) {
  const auto total = static_cast<int64_t>(AIn.size());
  DoProgress(0, total);
  if (AIn.empty()) return {};
  size_t perLine = FSuppressCrlf ? AIn.size() : static_cast<size_t>(GetLineLength() * 3 / 4);
  if (perLine > static_cast<size_t>(kUUMaxLineBytes)) perLine = kUUMaxLineBytes;
  std::string out;
  for (size_t start = 0; start < AIn.size(); start += perLine) {
    if (start > 0) out += "\r\n";
    const size_t end = std::min(AIn.size(), start + perLine);
    out += UUChar(static_cast<unsigned>(end - start));
    for (size_t i = start; i < end; i += 3) {
      const size_t left = end - i;
      const unsigned b0 = static_cast<uint8_t>(AIn[i]);
      const unsigned b1 = left > 1 ? static_cast<uint8_t>(AIn[i + 1]) : 0;
      const unsigned b2 = left > 2 ? static_cast<uint8_t>(AIn[i + 2]) : 0;
      out += UUChar(b0 >> 2);
      out += UUChar((b0 << 4) | (b1 >> 4));
      if (left > 1) out += UUChar((b1 << 2) | (b2 >> 6));
      if (left > 2) out += UUChar(b2);
    }
    DoProgress(static_cast<int64_t>(end), total);
  }
  if (!FSuppressCrlf) out += "\r\n`\r\n";
  return out;
}

std::string TqvEncoder::DecodeUU(std::string_view AIn) {
  const auto total = static_cast<int64_t>(AIn.size());
  DoProgress(0, total);
  std::string out;
  size_t pos = 0;
  bool first = true;
  while (true) {
    const TLine next = NextLine(AIn, pos);
    if (next.End) break;
    const std::string_view line = next.Text;
    if (first) {
      first = false;
      if (line.substr(0, 5) == "begin") continue;
    }
    const unsigned count = (static_cast<uint8_t>(line[0]) - 32u) & 63u;
    if (count == 0) break;
    // Exactly count bytes; characters a trimmed line lost count as zero.
    const auto value = [&](size_t k) -> unsigned {
      return k < line.size() ? (static_cast<uint8_t>(line[k]) - 32u) & 63u : 0u;
    };
    size_t k = 1;
    for (unsigned got = 0; got < count; k += 4) {
      const unsigned v0 = value(k), v1 = value(k + 1), v2 = value(k + 2), v3 = value(k + 3);
      const unsigned bytes[3] = {(v0 << 2 | v1 >> 4) & 0xFF, (v1 << 4 | v2 >> 2) & 0xFF, (v2 << 6 | v3) & 0xFF};
      for (unsigned j = 0; j < 3 && got < count; ++j, ++got) out += static_cast<char>(bytes[j]);
    }
    DoProgress(static_cast<int64_t>(pos), total);
  }
  DoProgress(total, total);
  return out;
}

// ---- choosing ----

namespace {

// The proposal, fed a batch at a time: ATotal bytes in all.
class TEncodingScan {
 public:
  TEncodingScan(int64_t ATotal, int ACharsPerLine, bool AAllowESC)
      : FHalf(static_cast<uint64_t>(ATotal) / 2), FCharsPerLine(ACharsPerLine), FAllowESC(AAllowESC) {}
  // False once the answer is final.
  bool Feed(const uint8_t* AData, size_t ACount) {
    for (size_t i = 0; i < ACount && !FDone; ++i) {
      const uint8_t b = AData[i];
      if (b == '\n' || b == '\r') {
        if (FLine > FCharsPerLine) FResult = cmQuotedPrintable;
        FLine = 0;
      } else if (b == 27) {
        if (!FAllowESC) Finish(cmBase64);
        ++FLine;
      } else if (b < 32) {
        Finish(cmBase64);
      } else if (b < 127) {
        ++FLine;
      } else {
        FResult = cmQuotedPrintable;
        if (++FEight > FHalf) Finish(cmBase64);
      }
    }
    return !FDone;
  }
  TqvEncodeMethod Result() const {
    if (!FDone && FLine > FCharsPerLine && FResult == cmNone) return cmQuotedPrintable;
    return FResult;
  }

 private:
  void Finish(TqvEncodeMethod AMethod) {
    FResult = AMethod;
    FDone = true;
  }
  uint64_t FHalf;
  int FCharsPerLine;
  bool FAllowESC;
  TqvEncodeMethod FResult = cmNone;
  int FLine = 0;
  uint64_t FEight = 0;
  bool FDone = false;
};

}  // namespace

TqvEncodeMethod TqvEncoder::GetPreferredEncoding(const TBytes& ABytes) const {
  TEncodingScan scan(static_cast<int64_t>(ABytes.size()), FCharsPerLine, FAllowESC);
  scan.Feed(ABytes.data(), ABytes.size());
  return scan.Result();
}

TqvEncodeMethod TqvEncoder::GetPreferredEncoding(TStream& AStream) const {
  const int64_t pos = AStream.Position();
  TEncodingScan scan(AStream.Size() - pos, FCharsPerLine, FAllowESC);
  std::string buf(64 * 1024, '\0');
  for (;;) {
    const int64_t got = AStream.Read(buf.data(), static_cast<int64_t>(buf.size()));
    if (got <= 0 || !scan.Feed(reinterpret_cast<const uint8_t*>(buf.data()), static_cast<size_t>(got))) break;
  }
  AStream.SetPosition(pos);
  return scan.Result();
}

// ---- string and byte forms ----

std::string TqvEncoder::EncodeBytes(const TBytes& ABytes) {
  TStringStream src(BytesToString(ABytes)), dst;
  Encode(src, dst);
  if (FEncodeMethod == cmNone || FEncodeMethod == cm8Bit)
    return TqvTranslator::GetString(StringToBytes(dst.DataString()), FCharSet);
  return dst.DataString();
}

std::string TqvEncoder::EncodeBytes(const TBytes& ABytes, int AIndex, int ACount) {
  const auto size = static_cast<int>(ABytes.size());
  if (AIndex < 0) AIndex = 0;
  if (AIndex >= size || ACount <= 0) return EncodeBytes(TBytes());
  if (ACount > size - AIndex) ACount = size - AIndex;
  return EncodeBytes(TBytes(ABytes.begin() + AIndex, ABytes.begin() + AIndex + ACount));
}

std::string TqvEncoder::EncodeString(std::string_view AText) {
  return EncodeBytes(TqvTranslator::GetBytes(AText, FCharSet));
}

std::string TqvEncoder::EncodeStreamToString(TStream& AStream) { return EncodeBytes(StringToBytes(ReadRest(AStream))); }

void TqvEncoder::DecodeToStream(std::string_view AText, TStream& ADest) {
  TStringStream src(BytesToString(TqvTranslator::GetBytes(AText, FCharSet)));
  Decode(src, ADest);
}

TBytes TqvEncoder::DecodeToBytes(std::string_view AText) {
  TStringStream dst;
  DecodeToStream(AText, dst);
  return StringToBytes(dst.DataString());
}

std::string TqvEncoder::DecodeString(std::string_view AText) {
  return TqvTranslator::GetString(DecodeToBytes(AText), FCharSet);
}

std::string TqvEncoder::EncodeBytesToLine(const TBytes& ABytes, TqvEncodeMethod AMethod) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  e.SetSuppressCrlf(true);
  return e.EncodeBytes(ABytes);
}

std::string TqvEncoder::EncodeBytesToText(const TBytes& ABytes, TqvEncodeMethod AMethod) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  return e.EncodeBytes(ABytes);
}

std::string TqvEncoder::EncodeStreamToLine(TStream& AStream, TqvEncodeMethod AMethod) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  e.SetSuppressCrlf(true);
  return e.EncodeStreamToString(AStream);
}

std::string TqvEncoder::EncodeTextToLine(std::string_view AText, TqvEncodeMethod AMethod) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  e.SetSuppressCrlf(true);
  return e.EncodeString(AText);
}

std::string TqvEncoder::DecodeText(std::string_view AText, TqvEncodeMethod AMethod) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  return e.DecodeString(AText);
}

void TqvEncoder::DecodeTextToStream(std::string_view AText, TStream& ADest, TqvEncodeMethod AMethod) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  e.DecodeToStream(AText, ADest);
}

TBytes TqvEncoder::DecodeTextToBytes(std::string_view AText, TqvEncodeMethod AMethod) {
  TqvEncoder e;
  e.SetEncodeMethod(AMethod);
  return e.DecodeToBytes(AText);
}
