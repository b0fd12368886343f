// Byte streams of the class library: TStream is the abstract read/write/seek
// interface; TMemoryStream and TStringStream keep their bytes in memory;
// TFileStream owns one open file descriptor (closed on destruction, opened
// O_CLOEXEC). Read and Write return what they transferred and stop quietly at
// end of data or on a system error; ReadBuffer/WriteBuffer turn any short
// transfer into EReadError/EWriteError. A bad seek raises EStreamError. The
// share flags of TFileStream are accepted but not enforced: POSIX has no share
// modes. A stream belongs to one thread at a time.
#pragma once

#include "ClassCore.h"
#include "UniqueFd.h"

#include <cstdint>
#include <string>

class EStreamError : public Exception {
 public:
  using Exception::Exception;
  VX_CLASS_NAME("EStreamError")
};

class EReadError : public EStreamError {
 public:
  EReadError() : EStreamError("Stream read error") {}
  VX_CLASS_NAME("EReadError")
};

class EWriteError : public EStreamError {
 public:
  EWriteError() : EStreamError("Stream write error") {}
  VX_CLASS_NAME("EWriteError")
};

class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
  VX_CLASS_NAME("EFOpenError")
};

class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
  VX_CLASS_NAME("EFCreateError")
};

enum TSeekOrigin { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

class TStream : public TObject {
 public:
  VX_CLASS_NAME("TStream")
  // Bytes actually read (0 at end); never more than Count.
  [[nodiscard]] virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Bytes actually written.
  [[nodiscard]] virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  // The new position; raises EStreamError when it would be negative or the
  // system refuses.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, soFromBeginning); }
  // The base measures by seeking to the end and back.
  virtual int64_t Size();
  // Cuts or extends (with zero bytes); a position past the new end moves to it.
  virtual void SetSize(int64_t NewSize);

  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Copies Count bytes from Source's position; Count 0 copies all of Source
  // from its start. Raises EReadError if Source runs short. Returns the count.
  int64_t CopyFrom(TStream& Source, int64_t Count);
};

// A growable buffer. Memory() is invalidated by any write or resize.
class TMemoryStream : public TStream {
 public:
  VX_CLASS_NAME("TMemoryStream")
  [[nodiscard]] int64_t Read(void* Buffer, int64_t Count) override;
  [[nodiscard]] int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t NewSize) override;

  char* Memory() { return FData.data(); }
  const char* Memory() const { return FData.data(); }
  void Clear();
  // Replaces the contents with all of Stream (read from its start) and rewinds.
  void LoadFromStream(TStream& Stream);
  void SaveToStream(TStream& Stream) { Stream.WriteBuffer(FData.data(), Size()); }
  // Raise EFOpenError / EFCreateError, or EReadError / EWriteError.
  void LoadFromFile(const std::string& FileName);
  void SaveToFile(const std::string& FileName);

 protected:
  std::string FData;
  int64_t FPosition = 0;
};

// A memory stream whose bytes are a std::string, starting at position 0.
class TStringStream : public TMemoryStream {
 public:
  explicit TStringStream(std::string AString = {}) { FData = std::move(AString); }
  VX_CLASS_NAME("TStringStream")
  // Valid until the next write or resize.
  const std::string& DataString() const { return FData; }
  // Up to Count bytes from the position (fewer at the end).
  std::string ReadString(int64_t Count);
  void WriteString(const std::string& S) { WriteBuffer(S.data(), static_cast<int64_t>(S.size())); }
};

// fmCreate creates or truncates (and opens read-write); otherwise the low bits
// pick the access and the share flag is ignored.
constexpr uint16_t fmCreate = 0xFF00;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyNone = 0x0040;

class TFileStream : public TStream {
 public:
  // Raises EFCreateError (fmCreate) or EFOpenError, "Cannot open file "name". <system text>".
  TFileStream(const std::string& FileName, uint16_t Mode);
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  VX_CLASS_NAME("TFileStream")

  [[nodiscard]] int64_t Read(void* Buffer, int64_t Count) override;
  [[nodiscard]] int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override;
  // Raises EWriteError when the system refuses.
  void SetSize(int64_t NewSize) override;

  const std::string& FileName() const { return FFileName; }
  // Borrowed: valid while the stream lives.
  int Handle() const { return FHandle.Get(); }

 private:
  static int OpenHandle(const std::string& FileName, uint16_t Mode);

  std::string FFileName;
  plat::UniqueFd FHandle;
};
