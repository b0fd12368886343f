#include "Random.h"

#include <sys/random.h>

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

}  // namespace plat
