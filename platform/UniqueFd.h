// An owned file descriptor: closed when the owner goes. Move-only.
#pragma once

#include <unistd.h>

#include <cerrno>

#include <utility>

namespace plat {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : FFd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& o) noexcept : FFd(std::exchange(o.FFd, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(std::exchange(o.FFd, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  explicit operator bool() const { return Valid(); }
  // Gives up ownership without closing.
  [[nodiscard]] int Release() { return std::exchange(FFd, -1); }
  // Closes now and returns close's result, for writers that must see the
  // error a late write reports at close.
  [[nodiscard]] int Close() {
    int fd = std::exchange(FFd, -1);
    return fd >= 0 ? ::close(fd) : 0;
  }
  // Keeps errno, so error paths can close first and report after.
  void Reset(int fd = -1) {
    if (FFd >= 0) {
      int saved = errno;
      ::close(FFd);
      errno = saved;
    }
    FFd = fd;
  }

 private:
  int FFd = -1;
};

}  // namespace plat
