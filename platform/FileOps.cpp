#include "FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <random>

namespace plat {
namespace {

constexpr int kTempNameAttempts = 16;
constexpr size_t kReadChunk = 65536;

std::string RandomSuffix() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  uint64_t v = gen();
  std::string s;
  for (int i = 0; i < 12; ++i, v >>= 4) s += kDigits[v & 15];
  return s;
}

// The errno of a failed call, never 0.
int LastErrno() { return errno != 0 ? errno : EIO; }

}  // namespace

int WriteAll(int AFd, std::string_view AData) {
  while (!AData.empty()) {
    const ssize_t n = ::write(AFd, AData.data(), AData.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastErrno();
    if (n == 0) return EIO;  // no progress and no error: do not spin
    AData.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int SyncFolderFd(int AFolderFd) {
  if (::fsync(AFolderFd) == 0 || errno == EINVAL) return 0;
  return LastErrno();
}

int SyncFolder(const std::string& APath) {
  const UniqueFd fd(::open(APath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return LastErrno();
  return SyncFolderFd(fd.Get());
}

int ReadSmallFile(const std::string& APath, size_t AMaxSize, std::string& AOut) {
  AOut.clear();
  const UniqueFd fd(::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return LastErrno();
  char buf[kReadChunk];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return 0;
    const int error = n < 0 ? LastErrno() : AOut.size() + static_cast<size_t>(n) > AMaxSize ? EFBIG : 0;
    if (error != 0) {
      AOut.clear();
      return error;
    }
    AOut.append(buf, static_cast<size_t>(n));
  }
}

// --- TDirStream

void TDirStream::TCloser::operator()(DIR* ADir) const { ::closedir(ADir); }

TDirStream::TDirStream(const std::string& APath) : FDir(::opendir(APath.c_str())) {
  if (!FDir) FError = LastErrno();
}

TDirStream::TDirStream(int AFolderFd) {
  // A stream of its own: fdopendir takes the descriptor it is given.
  UniqueFd fd(::fcntl(AFolderFd, F_DUPFD_CLOEXEC, 0));
  if (fd) FDir.reset(::fdopendir(fd.Get()));
  if (!FDir) {
    FError = LastErrno();
    return;
  }
  (void)fd.Release();  // the stream owns it now
  // A duplicate shares the read position of the original.
  ::rewinddir(FDir.get());
}

const dirent* TDirStream::Next() {
  if (!FDir) return nullptr;
  while (const dirent* e = ::readdir(FDir.get())) {
    const std::string_view name = e->d_name;
    if (name != "." && name != "..") return e;
  }
  return nullptr;
}

// --- TAsideFile

TAsideFile::~TAsideFile() {
  if (FFolderFd >= 0 && !FName.empty()) ::unlinkat(FFolderFd, FName.c_str(), 0);
}

int TAsideFile::Create(int AFolderFd, const std::string& AName, mode_t AMode) {
  FFd.Reset(::openat(AFolderFd, AName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, AMode));
  if (!FFd) return LastErrno();
  FFolderFd = AFolderFd;
  FName = AName;
  return 0;
}

int TAsideFile::Flush() { return ::fsync(FFd.Get()) == 0 ? 0 : LastErrno(); }

void TAsideFile::StartWriteback() { (void)::sync_file_range(FFd.Get(), 0, 0, SYNC_FILE_RANGE_WRITE); }

int TAsideFile::Close() { return FFd.Close() == 0 ? 0 : LastErrno(); }

int TAsideFile::ReplaceAs(const std::string& AName) {
  if (::renameat(FFolderFd, FName.c_str(), FFolderFd, AName.c_str()) != 0) return LastErrno();
  Placed();
  return 0;
}

// --- ReplaceFile

int ReplaceFile(const std::string& APath, std::string_view AData, const TReplaceOptions& AOptions) {
  const size_t slash = APath.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : APath.substr(0, slash));
  const std::string base = slash == std::string::npos ? APath : APath.substr(slash + 1);
  if (base.empty()) return EINVAL;
  const UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return LastErrno();

  TAsideFile file;
  int error = EEXIST;
  for (int attempt = 0; attempt < kTempNameAttempts && error == EEXIST; ++attempt) {
    const std::string temp = "." + base + "." + std::to_string(::getpid()) + "." + RandomSuffix() + ".tmp";
    error = file.Create(folder.Get(), temp, 0600);
  }
  if (error != 0) return error;
  // Owner before mode: a change of owner may clear mode bits.
  if (AOptions.SetOwner && ::fchown(file.Fd(), AOptions.Uid, AOptions.Gid) != 0) return LastErrno();
  // Set explicitly: the umask must not narrow the mode asked for.
  if (::fchmod(file.Fd(), AOptions.Mode) != 0) return LastErrno();
  if ((error = file.Write(AData)) != 0 || (error = file.Flush()) != 0 || (error = file.Close()) != 0) return error;

  if (AOptions.BeforeRename) AOptions.BeforeRename();

  if (AOptions.NoReplace) {
    // A link never replaces an entry.
    if (::linkat(folder.Get(), file.Name().c_str(), folder.Get(), base.c_str(), 0) != 0) return LastErrno();
    ::unlinkat(folder.Get(), file.Name().c_str(), 0);
    file.Placed();
  } else if ((error = file.ReplaceAs(base)) != 0) {
    return error;
  }
  return SyncFolderFd(folder.Get());
}

}  // namespace plat
