#include "Streams.h"

#include "SysError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int64_t kCopyChunk = 64 * 1024;

[[noreturn]] void RaiseSeekError() { throw EStreamError("Stream seek error"); }

}  // namespace

int64_t TStream::Size() {
  const int64_t pos = Seek(0, soFromCurrent);
  const int64_t size = Seek(0, soFromEnd);
  Seek(pos, soFromBeginning);
  return size;
}

void TStream::SetSize(int64_t) { throw EStreamError(std::string("Cannot resize a ") + ClassName()); }

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count < 0 || (Count != 0 && Read(Buffer, Count) != Count)) throw EReadError();
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count < 0 || (Count != 0 && Write(Buffer, Count) != Count)) throw EWriteError();
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  if (Count < 0) throw EReadError();
  std::string buffer(static_cast<size_t>(std::min(Count, kCopyChunk)), '\0');
  for (int64_t left = Count; left > 0;) {
    const int64_t n = std::min(left, kCopyChunk);
    Source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return Count;
}

// --- TMemoryStream ---

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  const int64_t n = std::min(Count, Size() - FPosition);
  if (n <= 0) return 0;
  std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  // A position past the end leaves a gap of zero bytes.
  if (FPosition + Count > Size()) FData.resize(static_cast<size_t>(FPosition + Count), '\0');
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition += Count;
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t base = 0;
  switch (Origin) {
    case soFromBeginning: base = 0; break;
    case soFromCurrent: base = FPosition; break;
    case soFromEnd: base = Size(); break;
    default: RaiseSeekError();
  }
  if (base + Offset < 0) RaiseSeekError();
  FPosition = base + Offset;
  return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  if (NewSize < 0) throw EWriteError();
  FData.resize(static_cast<size_t>(NewSize), '\0');
  FPosition = std::min(FPosition, NewSize);
}

void TMemoryStream::Clear() {
  FData.clear();
  FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& Stream) {
  Stream.SetPosition(0);
  const int64_t size = Stream.Size();
  std::string data(static_cast<size_t>(size), '\0');
  Stream.ReadBuffer(data.data(), size);
  FData = std::move(data);
  FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TMemoryStream::SaveToFile(const std::string& FileName) {
  TFileStream file(FileName, fmCreate);
  SaveToStream(file);
}

std::string TStringStream::ReadString(int64_t Count) {
  const int64_t n = std::max<int64_t>(0, std::min(Count, Size() - FPosition));
  std::string s = FData.substr(static_cast<size_t>(std::min(FPosition, Size())), static_cast<size_t>(n));
  FPosition += n;
  return s;
}

// --- TFileStream ---

int TFileStream::OpenHandle(const std::string& FileName, uint16_t Mode) {
  const bool create = (Mode & fmCreate) == fmCreate;
  int flags = O_CLOEXEC;
  if (create) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (Mode & 0x3) {
      case fmOpenWrite: flags |= O_WRONLY; break;
      case fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  int fd;
  do {
    fd = ::open(FileName.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return fd;
  const std::string text = plat::SysErrorMessage(plat::ErrnoToError(errno));
  if (create) throw EFCreateError("Cannot create file \"" + FileName + "\". " + text);
  throw EFOpenError("Cannot open file \"" + FileName + "\". " + text);
}

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode)
    : FFileName(FileName), FHandle(OpenHandle(FileName, Mode)) {}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  auto* p = static_cast<char*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::read(FHandle.Get(), p + done, static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  const auto* p = static_cast<const char*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::write(FHandle.Get(), p + done, static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int whence = SEEK_SET;
  switch (Origin) {
    case soFromBeginning: whence = SEEK_SET; break;
    case soFromCurrent: whence = SEEK_CUR; break;
    case soFromEnd: whence = SEEK_END; break;
    default: RaiseSeekError();
  }
  const off_t pos = ::lseek(FHandle.Get(), static_cast<off_t>(Offset), whence);
  if (pos < 0) RaiseSeekError();
  return pos;
}

int64_t TFileStream::Size() {
  struct stat st {};
  if (::fstat(FHandle.Get(), &st) != 0) return TStream::Size();
  return st.st_size;
}

void TFileStream::SetSize(int64_t NewSize) {
  if (NewSize < 0 || ::ftruncate(FHandle.Get(), static_cast<off_t>(NewSize)) != 0) throw EWriteError();
  if (Position() > NewSize) SetPosition(NewSize);
}
