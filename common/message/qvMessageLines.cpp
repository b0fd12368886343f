#include "qvMessageLines.h"

#include "qvEncoder.h"

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int64_t kWindow = 64 * 1024;
constexpr int64_t kPiece = 1024 * 1024;
constexpr size_t kSinkBuffer = 64 * 1024;

// Restores an encoder's progress event when the pieces are done.
struct TProgressMute {
  explicit TProgressMute(TqvEncoder& AEncoder) : Encoder(AEncoder), Saved(AEncoder.OnProgress) {
    Encoder.OnProgress = nullptr;
  }
  ~TProgressMute() { Encoder.OnProgress = Saved; }
  TProgressMute(const TProgressMute&) = delete;
  TProgressMute& operator=(const TProgressMute&) = delete;
  TqvEncoder& Encoder;
  TqvProgressEvent Saved;
};

std::string ReadPiece(TStream& AStream, int64_t ACount) {
  std::string buf(static_cast<size_t>(ACount), '\0');
  const int64_t got = AStream.Read(buf.data(), ACount);
  buf.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
  return buf;
}

std::string EncodePiece(TqvEncoder& AEncoder, const std::string& APiece) {
  TStringStream src(APiece), dst;
  AEncoder.Encode(src, dst);
  return dst.DataString();
}

}  // namespace

// ---- sinks and splitter ----

TqvStreamLineSink::~TqvStreamLineSink() {
  try {
    Flush();
  } catch (...) {  // NOLINT: a destructor must not throw; Flush reports to callers that ask
  }
}

void TqvStreamLineSink::AddLine(std::string_view ALine) {
  FBuffer.append(ALine);
  FBuffer += "\r\n";
  ++FCount;
  if (FBuffer.size() >= kSinkBuffer) Flush();
}

void TqvStreamLineSink::Flush() {
  if (FBuffer.empty()) return;
  const std::string data = std::move(FBuffer);
  FBuffer.clear();
  FStream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
}

void TqvLineSplitter::Add(std::string_view AText) {
  for (const char c : AText) {
    if (c == '\n') {
      if (!FAfterCR) FSink.AddLine(FPartial);
      FPartial.clear();
      FAfterCR = false;
    } else if (c == '\r') {
      FSink.AddLine(FPartial);
      FPartial.clear();
      FAfterCR = true;
    } else {
      FPartial += c == '\0' ? ' ' : c;
      FAfterCR = false;
    }
  }
}

void TqvLineSplitter::Finish() {
  if (!FPartial.empty()) FSink.AddLine(FPartial);
  FPartial.clear();
  FAfterCR = false;
}

// ---- lines of a stream ----

TqvStreamLines::TqvStreamLines(TStream& AStream) : FStream(AStream) {
  FSize = FStream.Size();
  std::string buf(static_cast<size_t>(kWindow), '\0');
  int64_t pos = 0, lineStart = 0;
  bool afterCR = false;
  FStream.SetPosition(0);
  while (pos < FSize) {
    const int64_t got = FStream.Read(buf.data(), std::min(kWindow, FSize - pos));
    if (got <= 0) break;
    for (int64_t k = 0; k < got; ++k, ++pos) {
      const char c = buf[static_cast<size_t>(k)];
      if (c == '\n' && afterCR) {
        FLines.back() += 1;  // the CR's line break is CR LF
        lineStart = pos + 1;
        afterCR = false;
      } else if (c == '\n' || c == '\r') {
        FLines.push_back(lineStart << 2 | 1);
        lineStart = pos + 1;
        afterCR = c == '\r';
      } else {
        afterCR = false;
      }
    }
  }
  FSize = pos;
  if (lineStart < FSize) FLines.push_back(lineStart << 2);
}

void TqvStreamLines::Insert(int, const std::string&) { throw EInvalidOperation("Lines of a stream are read-only"); }
void TqvStreamLines::Delete(int) { throw EInvalidOperation("Lines of a stream are read-only"); }
void TqvStreamLines::Clear() { throw EInvalidOperation("Lines of a stream are read-only"); }
void TqvStreamLines::Put(int, const std::string&) { throw EInvalidOperation("Lines of a stream are read-only"); }

void TqvStreamLines::ReadAt(int64_t APos, char* ABuffer, int64_t ACount) const {
  if (ACount > kWindow) {
    FStream.SetPosition(APos);
    FStream.ReadBuffer(ABuffer, ACount);
    return;
  }
  const auto have = static_cast<int64_t>(FWindow.size());
  if (FWindowStart < 0 || APos < FWindowStart || APos + ACount > FWindowStart + have) {
    FWindow.resize(static_cast<size_t>(std::min(kWindow, FSize - APos)));
    FStream.SetPosition(APos);
    FStream.ReadBuffer(FWindow.data(), static_cast<int64_t>(FWindow.size()));
    FWindowStart = APos;
  }
  std::copy_n(FWindow.data() + (APos - FWindowStart), ACount, ABuffer);
}

std::string TqvStreamLines::Get(int Index) const {
  if (Index < 0 || Index >= Count()) RaiseIndexError(Index);
  const auto i = static_cast<size_t>(Index);
  const int64_t start = FLines[i] >> 2;
  const int64_t next = i + 1 < FLines.size() ? FLines[i + 1] >> 2 : FSize;
  const int64_t len = next - start - (FLines[i] & 3);
  std::string line(static_cast<size_t>(len), '\0');
  if (len > 0) ReadAt(start, line.data(), len);
  return line;
}

// ---- spool ----

int64_t TqvSpoolStream::Read(void* Buffer, int64_t Count) {
  return FFile ? FFile->Read(Buffer, Count) : FMemory.Read(Buffer, Count);
}

int64_t TqvSpoolStream::Write(const void* Buffer, int64_t Count) {
  if (!FFile && FMemory.Position() + Count > FLimit) Spill();
  return FFile ? FFile->Write(Buffer, Count) : FMemory.Write(Buffer, Count);
}

int64_t TqvSpoolStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  return FFile ? FFile->Seek(Offset, Origin) : FMemory.Seek(Offset, Origin);
}

int64_t TqvSpoolStream::Size() { return FFile ? FFile->Size() : FMemory.Size(); }

void TqvSpoolStream::SetSize(int64_t NewSize) {
  if (FFile)
    FFile->SetSize(NewSize);
  else
    FMemory.SetSize(NewSize);
}

void TqvSpoolStream::Clear() {
  FFile.reset();
  FMemory.Clear();
}

void TqvSpoolStream::Spill() {
  const char* dir = std::getenv("TMPDIR");
  std::string name = std::string(dir && *dir ? dir : "/tmp") + "/vxspoolXXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) throw EFCreateError("Cannot create a spool file in " + name.substr(0, name.rfind('/')));
  ::close(fd);
  auto file = std::make_unique<TFileStream>(name, fmOpenReadWrite);
  ::unlink(name.c_str());  // gone with the descriptor, whatever happens
  const int64_t pos = FMemory.Position();
  file->WriteBuffer(FMemory.Memory(), FMemory.Size());
  file->SetPosition(pos);
  FMemory.Clear();
  FFile = std::move(file);
}

// ---- chunked transfer encoding ----

void EncodeStreamToLines(TqvEncoder& AEncoder, TStream& ASource, TqvLineSplitter& ALines,
                         const TqvProgressEvent& AProgress) {
  const int64_t total = std::max<int64_t>(0, ASource.Size() - ASource.Position());
  if (AProgress) AProgress(nullptr, 0, total);
  if (total == 0) return;
  TProgressMute mute(AEncoder);
  const TqvEncodeMethod method = AEncoder.EncodeMethod();
  // Whole encoded lines per piece, so that the pieces join as one encoding would.
  int64_t perLine = AEncoder.GetLineLength() * 3 / 4;
  if (method == cmUUEncode) perLine = std::min<int64_t>(perLine, kUUMaxLineBytes);
  const int64_t piece = perLine > 0 ? std::max<int64_t>(1, kPiece / perLine) * perLine : kPiece;
  int64_t done = 0;
  while (done < total) {
    std::string data = ReadPiece(ASource, std::min(piece, total - done));
    if (data.empty()) break;
    bool softBreak = false;
    if (method == cmQuotedPrintable && done + static_cast<int64_t>(data.size()) < total) {
      // End the piece after a hard line break; failing that, break it softly.
      const size_t crlf = data.rfind("\r\n");
      size_t keep = crlf != std::string::npos ? crlf + 2 : data.size();
      if (crlf == std::string::npos) {
        if (data.back() == '\r') --keep;  // its LF may open the next piece
        softBreak = true;
      }
      if (keep == 0) keep = data.size();
      ASource.Seek(static_cast<int64_t>(keep) - static_cast<int64_t>(data.size()), soFromCurrent);
      data.resize(keep);
    }
    done += static_cast<int64_t>(data.size());
    const bool last = done >= total;
    std::string out = method == cmNone || method == cm8Bit ? std::move(data) : EncodePiece(AEncoder, data);
    if (method == cmUUEncode && !last && out.size() >= 5 && out.ends_with("\r\n`\r\n")) out.resize(out.size() - 3);
    ALines.Add(out);
    if (method == cmBase64) {
      ALines.Add("\r\n");
    } else if (softBreak) {
      ALines.Add("=\r\n");
    }
    if (AProgress) AProgress(nullptr, done, total);
  }
  ALines.Finish();
}

void DecodeStreamInPieces(TqvEncoder& AEncoder, TStream& ASource, TStream& ADest) {
  const TqvEncodeMethod method = AEncoder.EncodeMethod();
  if (method == cmBase64) {
    AEncoder.Decode(ASource, ADest);
    return;
  }
  const bool lines = method == cmQuotedPrintable || method == cmUUEncode;
  for (;;) {
    std::string data = ReadPiece(ASource, kPiece);
    if (data.empty()) break;
    if (lines && static_cast<int64_t>(data.size()) == kPiece) {
      const size_t lf = data.rfind('\n');
      if (lf != std::string::npos && lf + 1 < data.size()) {
        ASource.Seek(static_cast<int64_t>(lf + 1) - static_cast<int64_t>(data.size()), soFromCurrent);
        data.resize(lf + 1);
      }
    }
    TStringStream src(std::move(data));
    AEncoder.Decode(src, ADest);
    // The uuencode end line stops the data.
    const std::string& text = src.DataString();
    if (method == cmUUEncode && (text.starts_with("`") || text.find("\n`") != std::string::npos)) break;
  }
}
