#include "qvFileUtils.h"

#include "FileOps.h"
#include "ProgramPath.h"
#include "SysError.h"
#include "UniqueFd.h"
#include "qvMailDate.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <memory>

bool ForceDirectoryPath(const std::string& ADir) {
  std::string dir = ADir;
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return true;  // "" or the root
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = dir.rfind('/');
  if (slash != std::string::npos) {
    const std::string parent = dir.substr(0, slash);
    if (parent != dir && !ForceDirectoryPath(parent.empty() ? "/" : parent)) return false;
  }
  if (::mkdir(dir.c_str(), 0777) == 0) return true;
  const bool raced = errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!raced) plat::SetLastErrorFromErrno();
  return raced;
}

bool ForceFileDirectories(const std::string& AFileName) {
  return ForceDirectoryPath(plat::ExtractFilePath(AFileName));
}

bool DeleteDirectoryTree(const std::string& ADir) {
  std::string dir = ADir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat st {};
  // A link to a folder is not a folder of ours: leave what it points to alone.
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  {
    plat::TDirStream d(dir);
    while (const dirent* e = d.Next()) {
      const std::string path = dir + "/" + e->d_name;
      struct stat est {};
      if (::lstat(path.c_str(), &est) != 0) continue;
      if (S_ISDIR(est.st_mode))
        (void)DeleteDirectoryTree(path);
      else
        (void)::unlink(path.c_str());
    }
  }
  if (::rmdir(dir.c_str()) == 0) return true;
  plat::SetLastErrorFromErrno();
  return false;
}

namespace {

timespec LocalTimeToTimespec(TDateTime ALocalTime) {
  const TDateTime utc = LocalTimeToGlobalTime(ALocalTime);
  const double ms = std::round((utc - UnixDateDelta) * MSecsPerDay);
  const auto totalMs = static_cast<int64_t>(ms);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(totalMs >= 0 ? totalMs / 1000 : -((-totalMs + 999) / 1000));
  ts.tv_nsec = static_cast<long>((totalMs - static_cast<int64_t>(ts.tv_sec) * 1000) * 1000000);
  return ts;
}

}  // namespace

void SetFileDateTime(const std::string& AFileName, TDateTime ALocalTime) {
  const plat::UniqueFd fd(::open(AFileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return;
  const timespec ts = LocalTimeToTimespec(ALocalTime);
  const timespec times[2] = {ts, ts};
  (void)::futimens(fd.Get(), times);
}

bool SetExistingFileDateTime(const std::string& AFileName, TDateTime ALocalTime) {
  const timespec ts = LocalTimeToTimespec(ALocalTime);
  const timespec times[2] = {ts, ts};
  return ::utimensat(AT_FDCWD, AFileName.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

TDateTime GetFileDateTime(const std::string& AFileName) {
  struct stat st {};
  if (::stat(AFileName.c_str(), &st) != 0) return Now();
  const int64_t ms = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
  return GlobalTimeToLocalTime(UnixMsToDateTime(ms));
}

uint32_t GetLastErrorCode() { return plat::GetLastError(); }
