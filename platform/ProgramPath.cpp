#include "ProgramPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "SysError.h"

namespace plat {
namespace {

std::string ReadProgramPath() {
  char buf[PATH_MAX];
  if (char* r = realpath("/proc/self/exe", buf)) return r;
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<size_t>(n));
  return "./unknown";
}

}  // namespace

const std::string& ProgramPath() {
  static const std::string path = ReadProgramPath();
  return path;
}

const std::string& ProgramFolder() {
  static const std::string folder = ExtractFilePath(ProgramPath());
  return folder;
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  if (path.empty() || path.back() == '/') return path;
  return path + "/";
}

std::string ExtractFilePath(const std::string& path) {
  auto p = path.rfind('/');
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& path) {
  auto p = path.rfind('/');
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  auto slash = path.rfind('/');
  auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ext;
  return path.substr(0, dot) + ext;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (DirectoryExists(p)) return true;
  auto parent = ExtractFilePath(p);
  if (!parent.empty() && parent != p && !ForceDirectories(parent)) return false;
  if (::mkdir(p.c_str(), 0777) != 0 && !(errno == EEXIST && DirectoryExists(p))) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

long CurrentThreadId() { return static_cast<long>(::gettid()); }

}  // namespace plat
