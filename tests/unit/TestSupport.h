// Small fixtures shared by the unit tests.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

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

}  // namespace testsupport
