// The guard decides who may connect and how long a failed login waits: the
// window must hold across the tick wrap, lists must match patterns and other
// spellings, and no run of failures may wrap the wait into "no wait".
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "qvServerGuard.h"

namespace {

using namespace std::chrono_literals;

// A guard on a hand-set clock that records its waits instead of sleeping.
struct GuardFixture : ::testing::Test {
  TqvServerGuard Guard;
  uint32_t Now = 0;
  std::vector<uint32_t> Sleeps;
  std::vector<std::string> Events;

  GuardFixture() {
    Guard.SetTickSource([this] { return Now; });
    Guard.SetSleeper([this](uint32_t ms) { Sleeps.push_back(ms); });
    Guard.OnBlockConnection = [this](TObject*, const std::string& ip, int, uint32_t) {
      Events.push_back("block " + ip);
    };
    Guard.OnAllowConnection = [this](TObject*, const std::string& ip, int, uint32_t) {
      Events.push_back("allow " + ip);
    };
  }
};

using ServerGuardConnections = GuardFixture;

TEST_F(ServerGuardConnections, SeventhInWindowRefusedUntilWindowEndsAcrossTickWrap) {
  Now = 0xFFFFFFFFu - 1000;  // the window runs over the wrap
  const uint32_t first = Now;
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(Guard.CheckConnection("192.0.2.1", 25)) << i;
  EXPECT_FALSE(Guard.CheckConnection("192.0.2.1", 25));
  EXPECT_TRUE(Guard.CheckConnection("192.0.2.2", 25)) << "other addresses have their own count";
  Now = first + 59999;
  EXPECT_FALSE(Guard.CheckConnection("192.0.2.1", 25));
  Now = first + 60000;
  EXPECT_TRUE(Guard.CheckConnection("192.0.2.1", 25));
  auto recs = Guard.ConnectionRecords();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].Count, 1);
  EXPECT_EQ(recs[0].Time, Now);
}

TEST_F(ServerGuardConnections, RemoveEventReportsTheExpiredRecord) {
  std::vector<std::string> removed;
  Guard.OnRemoveConnection = [&](TObject*, const std::string& ip, int port, uint32_t time) {
    removed.push_back(ip + " " + std::to_string(port) + " " + std::to_string(time));
  };
  Now = 5;
  ASSERT_TRUE(Guard.CheckConnection("192.0.2.1", 25));
  Now = 60005;
  ASSERT_TRUE(Guard.CheckConnection("198.51.100.7", 110));
  EXPECT_EQ(removed, (std::vector<std::string>{"192.0.2.1 25 5"}));
}

TEST_F(ServerGuardConnections, ListsBlackFirstPatternsAndSpellings) {
  Guard.BlackIPList().Add("192.0.2.1");
  Guard.WhiteIPList().Add("192.0.2.1");
  Guard.WhiteIPList().Add("10.0.0.*");
  Guard.BlackIPList().Add("2001:DB8:0::1");
  Guard.BlackIPList().Add("203.0.113.*");
  Guard.SetAllowWhiteListOnly(true);

  EXPECT_FALSE(Guard.CheckConnection("192.0.2.1", 25));
  EXPECT_TRUE(Guard.CheckConnection("10.0.0.9", 25));
  EXPECT_FALSE(Guard.CheckConnection("10.0.1.9", 25));
  EXPECT_FALSE(Guard.CheckConnection("", 25));
  EXPECT_FALSE(Guard.CheckConnection("2001:db8::1", 25));
  EXPECT_FALSE(Guard.CheckConnection("::ffff:203.0.113.5", 25));
  // The white-list-only refusal is silent; the others are reported.
  EXPECT_EQ(Events, (std::vector<std::string>{"block 192.0.2.1", "allow 10.0.0.9", "block ", "block 2001:db8::1",
                                              "block 203.0.113.5"}));
}

TEST_F(ServerGuardConnections, ResetWaitsForTheLockAndForgetsRecords) {
  ASSERT_FALSE(Guard.CheckLogin("ann", false, 110, "192.0.2.1"));
  std::future<void> reset;
  Guard.OnAllowConnection = [&](TObject*, const std::string&, int, uint32_t) {
    reset = std::async(std::launch::async, [&] { Guard.Reset(); });
    // Only a Reset that skipped the lock could finish while a check runs.
    EXPECT_EQ(reset.wait_for(50ms), std::future_status::timeout);
  };
  ASSERT_TRUE(Guard.CheckConnection("192.0.2.1", 25));
  reset.get();
  EXPECT_TRUE(Guard.ConnectionRecords().empty());
  EXPECT_TRUE(Guard.UserRecords().empty());
}

struct ServerGuardLogins : GuardFixture {
  uint32_t Pick = 0;  // the random part, as an offset from the top of the range
  ServerGuardLogins() {
    Guard.SetRandomSource([this](uint32_t range) { return range - 1 - Pick; });
  }
};

TEST_F(ServerGuardLogins, LockedUserBlackListedAddressAndHandlerOverrule) {
  Guard.LockedUsers().Add("Root");
  Guard.BlackIPList().Add("203.0.113.*");
  EXPECT_FALSE(Guard.CheckLogin("root", true, 110, "192.0.2.1"));
  EXPECT_FALSE(Guard.CheckLogin("ann", true, 110, "203.0.113.9"));
  EXPECT_TRUE(Guard.CheckLogin("ann", true, 110, "192.0.2.1"));
  Guard.OnCanLogin = [](TObject*, const std::string& user, const std::string&, int, uint32_t ATime, bool& allowed,
                        bool& handled) {
    EXPECT_LE(ATime, 0xFFFFu);
    handled = user == "bob";
    allowed = true;
  };
  EXPECT_TRUE(Guard.CheckLogin("bob", false, 110, "192.0.2.1"));
  EXPECT_TRUE(Sleeps.empty());
}

TEST_F(ServerGuardLogins, DelaysGrowPerUserAndAddressAndSuccessStartsAfresh) {
  EXPECT_FALSE(Guard.CheckLogin("ann", false, 110, "192.0.2.1"));  // 10 + 4989 + 1000
  Pick = 4989;
  EXPECT_FALSE(Guard.CheckLogin("ann", false, 110, "192.0.2.1"));  // 10 + 0 + 5999 + 1000
  EXPECT_FALSE(Guard.CheckLogin("ann", false, 110, "192.0.2.2"));  // another address: fresh
  EXPECT_TRUE(Guard.CheckLogin("ann", true, 110, "192.0.2.1"));
  EXPECT_FALSE(Guard.CheckLogin("ann", false, 110, "192.0.2.1"));
  EXPECT_EQ(Sleeps, (std::vector<uint32_t>{5999, 7009, 1010, 1010}));
  ASSERT_EQ(Guard.UserRecords().size(), 2u);

  Guard.LoginDelay().SetIsRandom(false);
  Guard.LoginDelay().SetIsIncremental(false);
  EXPECT_FALSE(Guard.CheckLogin("bob", false, 110, "192.0.2.1"));
  EXPECT_EQ(Sleeps.size(), 4u) << "both parts off: no wait";

  Guard.OnGetDelay = [](TObject*, TqvGuardUserInfo* user, int& delay, bool& handled) {
    delay = user->Delay + 42;
    handled = true;
  };
  EXPECT_FALSE(Guard.CheckLogin("bob", false, 110, "192.0.2.1"));
  EXPECT_EQ(Sleeps.back(), 42u);
}

TEST_F(ServerGuardLogins, ManyFailuresNeverWrapIntoNoWait) {
  Guard.LoginDelay().SetIncrement(INT32_MAX / 2);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(Guard.CheckLogin("ann", false, 110, "192.0.2.1"));
  ASSERT_EQ(Sleeps.size(), 5u);
  EXPECT_EQ(Sleeps.back(), static_cast<uint32_t>(TqvServerGuard::kMaxLoginDelay));
  EXPECT_EQ(Guard.UserRecords()[0].Delay, TqvServerGuard::kMaxLoginDelay);
}

TEST_F(ServerGuardLogins, WaitHappensOutsideTheGuardLock) {
  std::promise<bool> checked;
  std::thread other;
  std::future_status status = std::future_status::timeout;
  Guard.SetSleeper([&](uint32_t) {
    auto result = checked.get_future();
    other = std::thread([&] { checked.set_value(Guard.CheckConnection("192.0.2.9", 25)); });
    // The limit only ends a hung test; a held lock keeps the other check waiting.
    status = result.wait_for(10s);
    if (status == std::future_status::ready) {
      EXPECT_TRUE(result.get());
    }
  });
  EXPECT_FALSE(Guard.CheckLogin("ann", false, 110, "192.0.2.1"));
  other.join();
  EXPECT_EQ(status, std::future_status::ready);
}

}  // namespace
