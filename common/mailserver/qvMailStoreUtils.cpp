#include "qvMailStoreUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>
#include <cstdio>
#include <cstdlib>

#include "FileOps.h"
#include "Random.h"
#include "StringList.h"
#include "SysError.h"

EOSError StoreOSError(int AErrno, const std::string& AWhat, const std::string& APath) {
  const uint32_t code = plat::ErrnoToError(AErrno);
  return EOSError(code, AWhat + " \"" + APath + "\": " + plat::SysErrorMessage(code));
}

namespace {

[[noreturn]] void RaiseError(int AErrno, const std::string& AWhat, const std::string& APath) {
  throw StoreOSError(AErrno, AWhat, APath);
}

[[noreturn]] void RaiseErrno(const std::string& AWhat, const std::string& APath) {
  RaiseError(errno, AWhat, APath);
}

// Writes of about this size keep a 20 MB message from being one huge buffer.
constexpr size_t kWriteChunk = 256 * 1024;
constexpr mode_t kFolderMode = 0700;
constexpr char kTempPrefix[] = "vxtmp-";
constexpr size_t kTempRandomChars = 6;
constexpr char kTempChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool IsTempName(std::string_view AName) {
  const size_t prefix = sizeof kTempPrefix - 1;
  if (AName.size() != prefix + kTempRandomChars || AName.substr(0, prefix) != kTempPrefix) return false;
  return AName.substr(prefix).find_first_not_of(kTempChars) == std::string_view::npos;
}

int RenameNoReplace(int AFromDir, const char* AFrom, int AToDir, const char* ATo) {
  return ::renameat2(AFromDir, AFrom, AToDir, ATo, RENAME_NOREPLACE);
}

std::atomic<TqvRenameNoReplace> gRenameNoReplace{RenameNoReplace};

std::string TempName() {
  std::string name = kTempPrefix;
  for (size_t i = 0; i < kTempRandomChars; ++i) name += kTempChars[plat::Random(sizeof kTempChars - 1)];
  return name;
}

// Calls AEach (name, lstat of it) for every entry of AFolder but "." and "..".
template <class TEach>
void ForEachEntry(const TqvStoreFolder& AFolder, TEach AEach) {
  plat::TDirStream dir(AFolder.Fd());
  if (!dir.Valid()) RaiseError(dir.Error(), "Cannot read folder", AFolder.Path());
  while (const dirent* e = dir.Next()) {
    const std::string name = e->d_name;
    struct stat st {};
    if (::fstatat(AFolder.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    AEach(name, st);
  }
}

}  // namespace

// --- folders

void TqvStoreFolder::Sync() const {
  if (const int error = plat::SyncFolderFd(FFd.Get())) RaiseError(error, "Cannot flush folder", FPath);
}

const TqvStoreFolder* TqvKeptFolder::Find(const std::string& AUser, const std::string& AMailBoxDir) const {
  if (!FFolder || FUser != AUser || FMailBoxDir != AMailBoxDir) return nullptr;
  struct stat st {};
  if (::fstatat(AT_FDCWD, FPath.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_dev != FDevice || st.st_ino != FInode)
    return nullptr;
  return &FFolder;
}

const TqvStoreFolder* TqvKeptFolder::Keep(const std::string& AUser, const std::string& AMailBoxDir,
                                          TqvStoreFolder&& AFolder) {
  Clear();
  struct stat st {};
  if (!AFolder || AFolder.Path().empty() || ::fstat(AFolder.Fd(), &st) != 0) return nullptr;
  FUser = AUser;
  FMailBoxDir = AMailBoxDir;
  FPath = AFolder.Path().substr(0, AFolder.Path().size() - 1);
  FDevice = st.st_dev;
  FInode = st.st_ino;
  FFolder = std::move(AFolder);
  return &FFolder;
}

TqvStoreFolder OpenStoreFolder(const std::string& APath, bool ACreate) {
  // An empty setting means the current folder, never the root.
  const std::string path = APath.empty() || APath.back() == '/' ? APath : APath + "/";
  const std::string open = path.empty() ? std::string(".") : path;
  // The folder is there nearly always: opened first, made only when missing.
  plat::UniqueFd fd(::open(open.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) return TqvStoreFolder(std::move(fd), path);
  if (errno != ENOENT) RaiseErrno("Cannot open folder", open);
  if (!ACreate) return {};
  // Each missing part from the top down; a part made now is flushed into
  // its parent, so the folder survives a crash.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), kFolderMode) == 0) {
      const size_t up = part.find_last_of('/');
      SyncFolder(up == std::string::npos ? std::string(".") : part.substr(0, up + 1));
    } else if (errno != EEXIST) {
      RaiseErrno("Cannot create folder", part);
    }
  }
  fd.Reset(::open(open.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) RaiseErrno("Cannot open folder", open);
  return TqvStoreFolder(std::move(fd), path);
}

TqvStoreFolder OpenAccountFolder(const TqvStoreFolder& AMailBox, const std::string& AName, bool ACreate) {
  const std::string path = AMailBox.Path() + AName;
  bool made = false;
  // No trailing "/": O_NOFOLLOW then refuses a link at the account's name.
  // Opened first; made only when missing.
  auto openIt = [&] {
    return plat::UniqueFd(::openat(AMailBox.Fd(), AName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  };
  plat::UniqueFd fd = openIt();
  if (!fd && errno == ENOENT && ACreate) {
    if (::mkdirat(AMailBox.Fd(), AName.c_str(), kFolderMode) == 0)
      made = true;
    else if (errno != EEXIST)
      RaiseErrno("Cannot create folder", path);
    fd = openIt();
  }
  if (!fd) {
    const int error = errno;
    if (error == ENOENT && !ACreate) return {};
    struct stat st {};
    if (::fstatat(AMailBox.Fd(), AName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      RaiseError(ELOOP, "Not following the symbolic link at account folder", path);
    RaiseError(error, "Cannot open folder", path);
  }
  if (made) AMailBox.Sync();
  return TqvStoreFolder(std::move(fd), path + "/");
}

std::vector<std::string> ListAccountFolders(const TqvStoreFolder& AMailBox) {
  std::vector<std::string> names;
  ForEachEntry(AMailBox, [&](const std::string& AName, const struct stat& st) {
    if (S_ISDIR(st.st_mode)) names.push_back(AName);
  });
  std::sort(names.begin(), names.end());
  return names;
}

int RemoveStagedLeftovers(const TqvStoreFolder& AFolder) {
  std::vector<std::string> doomed;
  ForEachEntry(AFolder, [&](const std::string& AName, const struct stat& st) {
    if (S_ISREG(st.st_mode) && IsTempName(AName)) doomed.push_back(AName);
  });
  int removed = 0;
  for (const std::string& name : doomed)
    if (::unlinkat(AFolder.Fd(), name.c_str(), 0) == 0) ++removed;
  if (removed > 0) AFolder.Sync();
  return removed;
}

void SyncFolder(const std::string& AFolder) {
  if (const int error = plat::SyncFolder(AFolder)) RaiseError(error, "Cannot flush folder", AFolder);
}

// --- staged files

TqvStagedFile::TqvStagedFile(const TqvStoreFolder& AFolder, const TStrings& ALines) {
  Open(AFolder.Fd(), AFolder.Path(), false);
  WriteLines(ALines);
}

TqvStagedFile::TqvStagedFile(const TqvStoreFolder& AFolder, std::string_view AText) {
  Open(AFolder.Fd(), AFolder.Path(), false);
  WriteAll(AText);
  Finish();
}

TqvStagedFile::TqvStagedFile(const std::string& AFolder, const TStrings& ALines) {
  const TqvStoreFolder folder = OpenStoreFolder(AFolder, false);
  if (!folder) RaiseError(ENOENT, "Cannot open folder", AFolder);
  Open(folder.Fd(), folder.Path(), true);
  WriteLines(ALines);
}

TqvStagedFile::TqvStagedFile(const std::string& AFolder, std::string_view AText) {
  const TqvStoreFolder folder = OpenStoreFolder(AFolder, false);
  if (!folder) RaiseError(ENOENT, "Cannot open folder", AFolder);
  Open(folder.Fd(), folder.Path(), true);
  WriteAll(AText);
  Finish();
}

TqvStagedFile::TqvStagedFile(const TqvStoreFolder& AFolder) {
  if (!AFolder) RaiseError(ENOENT, "Cannot open folder", AFolder.Path());
  Open(AFolder.Fd(), AFolder.Path(), true);
}

void TqvStagedFile::Open(int AFolderFd, const std::string& AFolderPath, bool AOwnFolder) {
  FFolderPath = AFolderPath;
  int folder = AFolderFd;
  if (AOwnFolder) {
    FOwnFolder.Reset(::fcntl(AFolderFd, F_DUPFD_CLOEXEC, 0));
    if (!FOwnFolder) RaiseErrno("Cannot open folder", AFolderPath);
    folder = FOwnFolder.Get();
  }
  // A name taken by chance is drawn again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = TempName();
    const int error = FFile.Create(folder, name, 0600);
    if (error == 0) return;
    if (error != EEXIST) RaiseError(error, "Cannot create file", AFolderPath + name);
  }
  RaiseError(EEXIST, "Cannot create file", AFolderPath + kTempPrefix);
}

void TqvStagedFile::WriteLines(const TStrings& ALines) {
  // A block list lends its lines; any other list copies each one out.
  const auto* block = dynamic_cast<const TBlockStringList*>(&ALines);
  std::string buffer;
  const int count = ALines.Count();
  size_t total = 0;
  if (block) total = block->BlockSize() + 2 * static_cast<size_t>(count);
  // A message that fits goes to the file in one write.
  buffer.reserve(std::min(total, kWriteChunk) + 1024);
  for (int i = 0; i < count; ++i) {
    if (block)
      buffer += block->View(i);
    else
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

void TqvStagedFile::WriteAll(std::string_view ABytes) {
  if (const int error = FFile.Write(ABytes)) RaiseError(error, "Cannot write file", TempPath());
}

void TqvStagedFile::Append(std::string_view ABytes) { WriteAll(ABytes); }

void TqvStagedFile::AppendFrom(int AFd, int64_t AOffset, int64_t ACount) {
  loff_t from = AOffset;
  bool kernel = true;
  std::string chunk;
  while (ACount > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(ACount, kWriteChunk));
    ssize_t n = -1;
    if (kernel) {
      n = ::copy_file_range(AFd, &from, FFile.Fd(), nullptr, want, 0);
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        kernel = false;  // another file system, or none that copies: by hand
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
    } else {
      chunk.resize(want);
      n = ::pread(AFd, chunk.data(), want, from);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        WriteAll(std::string_view(chunk.data(), static_cast<size_t>(n)));
        from += n;
      }
    }
    if (n < 0) RaiseErrno("Cannot write file", TempPath());
    if (n == 0) RaiseError(EIO, "Cannot write file", TempPath());  // the source ended early
    ACount -= n;
  }
}

void TqvStagedFile::Commit() { Finish(); }

plat::UniqueFd TqvStagedFile::OpenForReading() const {
  plat::UniqueFd fd(::openat(FFile.FolderFd(), FFile.Name().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) RaiseErrno("Cannot open file", TempPath());
  return fd;
}

bool TqvStagedFile::InFolder(const TqvStoreFolder& AFolder) const {
  struct stat mine {};
  struct stat other {};
  return AFolder && ::fstat(FFile.FolderFd(), &mine) == 0 && ::fstat(AFolder.Fd(), &other) == 0 &&
         mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

void TqvStagedFile::Finish() {
  if (const int error = FFile.Flush()) RaiseError(error, "Cannot flush file", TempPath());
  // A late write error shows up at close.
  if (const int error = FFile.Close()) RaiseError(error, "Cannot write file", TempPath());
}

bool TqvStagedFile::PlaceAs(const std::string& AFinalPath) {
  const std::string name = AFinalPath.substr(AFinalPath.find_last_of('/') + 1);
  const int folder = FFile.FolderFd();
  const char* temp = FFile.Name().c_str();
  // Neither call replaces an existing name, so nothing placed before is
  // lost: one rename that refuses to replace, or, where the file system
  // cannot do that, a link and the removal of the temporary name.
  if (gRenameNoReplace.load(std::memory_order_relaxed)(folder, temp, folder, name.c_str()) == 0) {
    FFile.Placed();
    return true;
  }
  if (errno == EEXIST) return false;
  if (errno != EINVAL && errno != ENOSYS) RaiseErrno("Cannot create file", AFinalPath);
  if (::linkat(folder, temp, folder, name.c_str(), 0) != 0) {
    if (errno == EEXIST) return false;
    RaiseErrno("Cannot create file", AFinalPath);
  }
  ::unlinkat(folder, temp, 0);
  FFile.Placed();
  return true;
}

void TqvStagedFile::ReplaceAs(const std::string& AFinalPath) {
  if (const int error = FFile.ReplaceAs(AFinalPath.substr(AFinalPath.find_last_of('/') + 1)))
    RaiseError(error, "Cannot create file", AFinalPath);
}

void SetRenameNoReplaceForTesting(TqvRenameNoReplace ARename) {
  gRenameNoReplace.store(ARename ? ARename : RenameNoReplace, std::memory_order_relaxed);
}

std::string NumberedName(const std::string& AFolder, int64_t ANumber, int ARetry) {
  char name[48];
  std::snprintf(name, sizeof name, "MAIL%.8lld", static_cast<long long>(ANumber));
  return RetriedName(AFolder + name, ARetry);
}

std::string RetriedName(const std::string& ABase, int ARetry) {
  return ARetry < 0 ? ABase : ABase + std::to_string(ARetry);
}

bool NameTaken(int AFolderFd, const std::string& APath) {
  struct stat st;
  const std::string name = AFolderFd == AT_FDCWD ? APath : APath.substr(APath.find_last_of('/') + 1);
  return ::fstatat(AFolderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string FirstFreeName(int AFolderFd, const std::string& AFolder, int ANumber, int& ARetry,
                          const char* ASkipExtension) {
  ARetry = -1;
  for (;;) {
    const std::string name = NumberedName(AFolder, ANumber, ARetry);
    if (!NameTaken(AFolderFd, name + ".MSG") && !(ASkipExtension && NameTaken(AFolderFd, name + ASkipExtension)))
      return name;
    ++ARetry;
  }
}

bool NameTaken(const std::string& APath) { return NameTaken(AT_FDCWD, APath); }

std::string FirstFreeName(const std::string& AFolder, int ANumber, int& ARetry, const char* ASkipExtension) {
  return FirstFreeName(AT_FDCWD, AFolder, ANumber, ARetry, ASkipExtension);
}
