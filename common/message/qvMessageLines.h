// The line model of messages, kept bounded in memory for large mail: line
// sinks (a TStrings or a byte stream, each line followed by CR LF), a splitter
// that turns text chunks into lines as the line loader does (CR, LF or CR LF
// end a line, NUL counts as a blank), a read-only TStrings that indexes the
// lines of a seekable stream instead of copying them, a spool stream that
// moves from memory to an unlinked temporary file past a size, and the
// chunked transfer encoding and decoding the message bodies use. One thread
// at a time. Stream errors pass through; TqvStreamLines raises
// EInvalidOperation on any change and EListError on a bad index.
#pragma once

#include "StringList.h"
#include "Streams.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TqvEncoder;

class TqvLineSink {
 public:
  virtual ~TqvLineSink() = default;
  virtual void AddLine(std::string_view ALine) = 0;
  [[nodiscard]] virtual int64_t LineCount() const = 0;
};

// Appends to a borrowed TStrings.
class TqvStringsLineSink : public TqvLineSink {
 public:
  explicit TqvStringsLineSink(TStrings& ALines) : FLines(ALines) {}
  void AddLine(std::string_view ALine) override { FLines.Add(std::string(ALine)); }
  [[nodiscard]] int64_t LineCount() const override { return FLines.Count(); }

 private:
  TStrings& FLines;
};

// Writes each line + CR LF to a borrowed stream, buffered; Flush (also run by
// the destructor, which swallows errors) must be called to see write errors.
class TqvStreamLineSink : public TqvLineSink {
 public:
  explicit TqvStreamLineSink(TStream& AStream) : FStream(AStream) {}
  ~TqvStreamLineSink() override;
  void AddLine(std::string_view ALine) override;
  [[nodiscard]] int64_t LineCount() const override { return FCount; }
  void Flush();

 private:
  TStream& FStream;
  std::string FBuffer;
  int64_t FCount = 0;
};

// Text in pieces to whole lines; a piece may end anywhere, even between CR and LF.
class TqvLineSplitter {
 public:
  explicit TqvLineSplitter(TqvLineSink& ASink) : FSink(ASink) {}
  void Add(std::string_view AText);
  // Hands over an unfinished last line; a text ending in a line break adds no empty line.
  void Finish();

 private:
  TqvLineSink& FSink;
  std::string FPartial;
  bool FAfterCR = false;
};

// The lines of a seekable stream (borrowed; it must outlive this list and not
// change). Breaks as TStrings::SetText: CR LF, LF or a lone CR; a final break
// adds no empty line. Memory: one 64-bit offset per line plus a read window.
class TqvStreamLines : public TStrings {
 public:
  explicit TqvStreamLines(TStream& AStream);
  VX_CLASS_NAME("TqvStreamLines")
  void Insert(int Index, const std::string& S) override;
  void Delete(int Index) override;
  void Clear() override;

 protected:
  std::string Get(int Index) const override;
  void Put(int Index, const std::string& S) override;
  int GetCount() const override { return static_cast<int>(FLines.size()); }

 private:
  void ReadAt(int64_t APos, char* ABuffer, int64_t ACount) const;

  TStream& FStream;
  int64_t FSize = 0;
  std::vector<int64_t> FLines;  // start offset << 2 | length of the line break (0..2)
  mutable std::string FWindow;
  mutable int64_t FWindowStart = -1;
};

// Memory up to AMemoryLimit bytes, then an unlinked temporary file in $TMPDIR
// (or /tmp); raises EFCreateError when that file cannot be made.
class TqvSpoolStream : public TStream {
 public:
  explicit TqvSpoolStream(int64_t AMemoryLimit = 4 * 1024 * 1024) : FLimit(AMemoryLimit) {}
  VX_CLASS_NAME("TqvSpoolStream")
  [[nodiscard]] int64_t Read(void* Buffer, int64_t Count) override;
  [[nodiscard]] int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override;
  void SetSize(int64_t NewSize) override;
  void Clear();
  [[nodiscard]] bool Spilled() const { return FFile != nullptr; }

 private:
  void Spill();

  int64_t FLimit;
  TMemoryStream FMemory;
  std::unique_ptr<TFileStream> FFile;
};

// Encodes the rest of ASource with AEncoder's method and line length into
// ALines, a piece at a time: the lines one whole-stream encoding would give,
// except that quoted-printable text with no line break in a whole piece gets
// an extra soft break there. AProgress gets (0, total) first, then the bytes done.
void EncodeStreamToLines(TqvEncoder& AEncoder, TStream& ASource, TqvLineSplitter& ALines,
                         const TqvProgressEvent& AProgress);
// Decodes the rest of ASource into ADest with AEncoder's settings; line-based
// methods go a piece of whole lines at a time, base64 through the encoder's
// own batches. Raises what the encoder raises.
void DecodeStreamInPieces(TqvEncoder& AEncoder, TStream& ASource, TStream& ADest);
