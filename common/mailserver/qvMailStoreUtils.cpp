#include "qvMailStoreUtils.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "StringList.h"
#include "SysError.h"

namespace {

[[noreturn]] void RaiseErrno(const std::string& AWhat, const std::string& APath) {
  const uint32_t code = plat::ErrnoToError(errno);
  throw EOSError(code, AWhat + " \"" + APath + "\": " + plat::SysErrorMessage(code));
}

// Writes of about this size keep a 20 MB message from being one huge buffer.
constexpr size_t kWriteChunk = 256 * 1024;

}  // namespace

// --- staged files

TqvStagedFile::TqvStagedFile(const std::string& AFolder, const TStrings& ALines) {
  Open(AFolder);
  std::string buffer;
  buffer.reserve(kWriteChunk + 1024);
  for (int i = 0; i < ALines.Count(); ++i) {
    buffer += ALines.Strings(i);
    buffer += "\r\n";
    if (buffer.size() >= kWriteChunk) {
      WriteAll(buffer);
      buffer.clear();
    }
  }
  WriteAll(buffer);
  Finish();
}

TqvStagedFile::TqvStagedFile(const std::string& AFolder, std::string_view AText) {
  Open(AFolder);
  WriteAll(AText);
  Finish();
}

TqvStagedFile::TTempName::~TTempName() {
  if (!Path.empty()) ::unlink(Path.c_str());
}

void TqvStagedFile::Open(const std::string& AFolder) {
  std::string name = AFolder + "vxtmp-XXXXXX";
  // mkstemp creates exclusively, mode 0600.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) RaiseErrno("Cannot create file", name);
  FFd.Reset(fd);
  FTemp.Path = name;
}

void TqvStagedFile::WriteAll(std::string_view ABytes) {
  while (!ABytes.empty()) {
    const ssize_t n = ::write(FFd.Get(), ABytes.data(), ABytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) RaiseErrno("Cannot write file", FTemp.Path);
    ABytes.remove_prefix(static_cast<size_t>(n));
  }
}

void TqvStagedFile::Finish() {
  if (::fsync(FFd.Get()) != 0) RaiseErrno("Cannot flush file", FTemp.Path);
  // A late write error shows up at close.
  if (FFd.Close() != 0) RaiseErrno("Cannot write file", FTemp.Path);
}

bool TqvStagedFile::PlaceAs(const std::string& AFinalPath) {
  // link fails on an existing name, so nothing placed before is replaced.
  if (::link(FTemp.Path.c_str(), AFinalPath.c_str()) != 0) {
    if (errno == EEXIST) return false;
    RaiseErrno("Cannot create file", AFinalPath);
  }
  ::unlink(FTemp.Path.c_str());
  FTemp.Path.clear();
  return true;
}

void SyncFolder(const std::string& AFolder) {
  plat::UniqueFd fd(::open(AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || ::fsync(fd.Get()) != 0) RaiseErrno("Cannot flush folder", AFolder);
}

std::string NumberedName(const std::string& AFolder, int ANumber, int ARetry) {
  char name[48];
  if (ARetry < 0)
    std::snprintf(name, sizeof name, "MAIL%.8d", ANumber);
  else
    std::snprintf(name, sizeof name, "MAIL%.8d%d", ANumber, ARetry);
  return AFolder + name;
}

bool NameTaken(const std::string& APath) {
  struct stat st;
  return ::lstat(APath.c_str(), &st) == 0;
}

std::string FirstFreeName(const std::string& AFolder, int ANumber, int& ARetry, const char* ASkipExtension) {
  ARetry = -1;
  for (;;) {
    const std::string name = NumberedName(AFolder, ANumber, ARetry);
    if (!NameTaken(name + ".MSG") && !(ASkipExtension && NameTaken(name + ASkipExtension))) return name;
    ++ARetry;
  }
}
