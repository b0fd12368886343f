#include "qvMessageSpool.h"

#include <unistd.h>

#include <cerrno>

#include "ClassCore.h"
#include "StringList.h"
#include "SysError.h"

namespace {

// Bytes gathered before each write to the file.
constexpr size_t kSpoolBufferBytes = 128 * 1024;

[[noreturn]] void RaiseRead(const std::string& APath) {
  const uint32_t code = plat::ErrnoToError(errno);
  throw EOSError(code, "Cannot read file \"" + APath + "\": " + plat::SysErrorMessage(code));
}

}  // namespace

TqvMessageSpool::TqvMessageSpool(const TqvStoreFolder& AFolder, std::string APrefix)
    : FFile(std::make_unique<TqvStagedFile>(AFolder)), FPrefix(std::move(APrefix)) {
  FRead = FFile->OpenForReading();
  FBuffer.reserve(kSpoolBufferBytes);
  FBuffer = FPrefix;
}

TqvMessageSpool::~TqvMessageSpool() = default;

void TqvMessageSpool::Write(std::string_view ABytes) {
  if (FFinished || !FFile) throw EInvalidOperation("The spool is closed");
  FSize += static_cast<int64_t>(ABytes.size());
  if (FBuffer.size() + ABytes.size() > kSpoolBufferBytes) {
    Flush();
    if (ABytes.size() >= kSpoolBufferBytes) {
      FFile->Append(ABytes);
      return;
    }
  }
  FBuffer += ABytes;
}

void TqvMessageSpool::Flush() {
  if (FBuffer.empty()) return;
  FFile->Append(FBuffer);
  FBuffer.clear();
}

void TqvMessageSpool::Finish() {
  if (FFinished) return;
  Flush();
  FFile->Commit();
  FBuffer = std::string();
  FFinished = true;
}

std::unique_ptr<TqvStagedFile> TqvMessageSpool::StageCopy(const TqvStoreFolder& AFolder) {
  Finish();
  if (FFile && CopyPrefix == FPrefix && FFile->InFolder(AFolder)) return std::move(FFile);
  auto copy = std::make_unique<TqvStagedFile>(AFolder);
  copy->Append(CopyPrefix);
  copy->AppendFrom(FRead.Get(), static_cast<int64_t>(FPrefix.size()), FSize);
  copy->Commit();
  return copy;
}

void TqvMessageSpool::ReadLines(TBlockStringList& ALines) {
  Finish();
  TByteBlock text;
  text.Resize(static_cast<size_t>(FSize));
  size_t done = 0;
  while (done < text.Size()) {
    const ssize_t n = ::pread(FRead.Get(), text.Data() + done, text.Size() - done,
                              static_cast<off_t>(FPrefix.size() + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) RaiseRead(TempPath());
    done += static_cast<size_t>(n);
  }
  ALines.AssignText(std::move(text));
}

void TqvMessageSpool::Discard() {
  FFile.reset();
  FRead.Reset();
  FBuffer = std::string();
  FFinished = true;
}

std::string TqvMessageSpool::TempPath() const { return FFile ? FFile->TempPath() : std::string(); }
