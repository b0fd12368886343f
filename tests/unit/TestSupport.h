// Small fixtures shared by the unit tests.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "CodePage.h"

namespace testsupport {

// Sets TZ for one test and puts the previous value back.
class TzGuard {
 public:
  explicit TzGuard(const char* tz) {
    if (const char* old = std::getenv("TZ")) FOld = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TzGuard() {
    if (FOld)
      setenv("TZ", FOld->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TzGuard(const TzGuard&) = delete;
  TzGuard& operator=(const TzGuard&) = delete;

 private:
  std::optional<std::string> FOld;
};

// Sets the process code page for one test and puts the default back.
class CodePageGuard {
 public:
  explicit CodePageGuard(uint32_t ACodePage) { plat::SetACP(ACodePage); }
  ~CodePageGuard() { plat::SetACP(plat::kDefaultAnsiCodePage); }
  CodePageGuard(const CodePageGuard&) = delete;
  CodePageGuard& operator=(const CodePageGuard&) = delete;
};

// A fresh folder under /tmp, removed with everything in it. Dir() ends in "/".
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vxtestXXXXXX";
    FPath = std::string(mkdtemp(tmpl)) + "/";
  }
  ~TempDir() { std::filesystem::remove_all(FPath); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Dir() const { return FPath; }

 private:
  std::string FPath;
};

// Lowers the file size limit for one scope: writes past ABytes then fail
// with EFBIG, as on a full disk (the signal they would raise is ignored).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t ABytes) {
    getrlimit(RLIMIT_FSIZE, &FOld);
    FOldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = FOld;
    small.rlim_cur = ABytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &FOld);
    signal(SIGXFSZ, FOldHandler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit FOld{};
  sighandler_t FOldHandler = SIG_DFL;
};

// A file's whole contents; empty for a missing file.
inline std::string ReadFileBytes(const std::string& APath) {
  std::ifstream f(APath, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Writes AData as the whole file, made or truncated.
inline void WriteFileBytes(const std::string& APath, const std::string& AData) {
  std::ofstream f(APath, std::ios::binary);
  f << AData;
}

// The ErrorCode of the E that F throws, or 0 when it throws nothing.
template <class E>
int ErrorCodeOf(const std::function<void()>& F) {
  try {
    F();
  } catch (const E& e) {
    return e.ErrorCode;
  }
  return 0;
}

// Asks ADone every millisecond or two until it holds, for at most ALimit
// (the limit only ends a hung test: the point is the event, not the time it
// takes); its last answer.
template <class F>
bool PollUntil(F ADone, std::chrono::milliseconds ALimit = std::chrono::seconds(10)) {
  for (const auto end = std::chrono::steady_clock::now() + ALimit; std::chrono::steady_clock::now() < end;) {
    if (ADone()) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(1500));
  }
  return ADone();
}

}  // namespace testsupport
