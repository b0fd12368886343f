// Challenges and boundaries draw from one generator: every value of a range
// must come up, none outside it, also with many threads drawing at once.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "Random.h"

TEST(Random, CoversTheWholeRangeAndNothingElse) {
  std::set<uint32_t> seen;
  for (int i = 0; i < 2000; ++i) {
    uint32_t v = plat::Random(7);
    ASSERT_LT(v, 7u);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 7u);
  EXPECT_EQ(plat::Random(0), 0u);
  for (int i = 0; i < 1000; ++i) {
    double d = plat::RandomFloat();
    ASSERT_GE(d, 0.0);
    ASSERT_LT(d, 1.0);
  }
}

TEST(Random, ThreadsDrawWithoutRacing) {
  std::vector<std::thread> threads;
  std::vector<std::set<uint32_t>> seen(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) seen[t].insert(plat::Random(1u << 30));
    });
  for (auto& th : threads) th.join();
  for (const auto& s : seen) EXPECT_GT(s.size(), 4900u);  // chance gives a handful of repeats at most
}
