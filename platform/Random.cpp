#include "Random.h"

#include <sys/random.h>

#include <cerrno>

#include <chrono>
#include <mutex>
#include <random>

namespace plat {
namespace {

struct Generator {
  std::mutex lock;
  std::mt19937_64 engine;
  Generator() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed))
      seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    engine.seed(seed);
  }
};

Generator& TheGenerator() {
  static Generator g;
  return g;
}

}  // namespace

uint32_t Random(uint32_t range) {
  if (range == 0) return 0;
  Generator& g = TheGenerator();
  std::scoped_lock guard(g.lock);
  return std::uniform_int_distribution<uint32_t>(0, range - 1)(g.engine);
}

double RandomFloat() {
  Generator& g = TheGenerator();
  std::scoped_lock guard(g.lock);
  return std::uniform_real_distribution<double>(0.0, 1.0)(g.engine);
}

void SecureRandomBytes(void* ABuffer, size_t ASize) {
  auto* out = static_cast<unsigned char*>(ABuffer);
  while (ASize > 0) {
    const ssize_t n = getrandom(out, ASize, 0);
    if (n > 0) {
      out += n;
      ASize -= static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      // No kernel generator at all: the process generator is all there is.
      for (; ASize > 0; --ASize) *out++ = static_cast<unsigned char>(Random(256));
    }
  }
}

uint16_t SecureRandom16() {
  uint16_t value = 0;
  SecureRandomBytes(&value, sizeof value);
  return value;
}

}  // namespace plat
