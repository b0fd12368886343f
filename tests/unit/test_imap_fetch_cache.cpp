// The FETCH answer cache: keys tell message versions and items apart, each
// shard's bound in bytes holds, and the least recently used answers go first.
#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "qvImap4FetchCache.h"
#include "qvImap4Server.h"

namespace {

TqvImap4MessageItem Message(const std::string& AName, uint64_t AContentKey, TDateTime ADate) {
  TqvImap4MessageItem m(ADate);
  m.Name = AName;
  m.ContentKey = AContentKey;
  return m;
}

}  // namespace

TEST(ImapFetchCache, KeysTellVersionsApartAndTheBoundHolds) {
  const TqvImap4MessageItem a = Message("/m/MAIL1.MSG", 7, 46000.5);
  EXPECT_EQ(TqvImap4FetchCache::Key(Message("/m/MAIL1.MSG", 0, 46000.5), "ENVELOPE"), "");
  const std::set<std::string> keys = {
      TqvImap4FetchCache::Key(a, "ENVELOPE"), TqvImap4FetchCache::Key(a, "BODY[]<>"),
      TqvImap4FetchCache::Key(Message("/m/MAIL1.MSG", 8, 46000.5), "ENVELOPE"),
      TqvImap4FetchCache::Key(Message("/m/MAIL1.MSG", 7, 46000.75), "ENVELOPE"),
      TqvImap4FetchCache::Key(Message("/n/MAIL1.MSG", 7, 46000.5), "ENVELOPE")};
  EXPECT_EQ(keys.size(), 5u);

  // Six keys of one shard, whose share of the bound is 4,000 bytes.
  TqvImap4FetchCache cache(TqvImap4FetchCache::kShards * 4000);
  std::vector<std::string> k;
  for (int i = 0; k.size() < 7; ++i) {
    const std::string key = "key" + std::to_string(i);
    if (std::hash<std::string>()(key) % TqvImap4FetchCache::kShards == 0) k.push_back(key);
  }
  std::string bytes;
  cache.Add("", "nothing");
  EXPECT_FALSE(cache.Find("", bytes));
  cache.Add(k[6], std::string(1001, 'b'));  // above a quarter of the share: never kept
  EXPECT_FALSE(cache.Find(k[6], bytes));
  for (int i = 0; i < 5; ++i) cache.Add(k[static_cast<size_t>(i)], std::string(900, static_cast<char>('0' + i)));
  EXPECT_LE(cache.Bytes(), 4000u);
  EXPECT_FALSE(cache.Find(k[0], bytes));
  ASSERT_TRUE(cache.Find(k[1], bytes));  // k1 is now the most recent
  EXPECT_EQ(bytes, std::string(900, '1'));
  cache.Add(k[5], std::string(900, '5'));
  EXPECT_TRUE(cache.Find(k[1], bytes));
  EXPECT_FALSE(cache.Find(k[2], bytes));
  EXPECT_TRUE(cache.Find(k[5], bytes));
}

TEST(ImapFetchCache, KeepsExactlyWhatLeastRecentlyUsedOrderKeepsUnderChurn) {
  // Keys of one shard (so that their slots collide and wrap) and a few of
  // others, answers of mixed sizes, against a plain model of the rules.
  constexpr size_t kShare = 20000;
  TqvImap4FetchCache cache(TqvImap4FetchCache::kShards * kShare);
  std::vector<std::string> keys;
  for (int i = 0; keys.size() < 400; ++i) {
    const std::string key = "/m/MAIL" + std::to_string(i) + ".MSG\nBODY[]<>";
    if (std::hash<std::string>()(key) % TqvImap4FetchCache::kShards == 0 || i % 50 == 0) keys.push_back(key);
  }
  struct TModel {
    std::list<std::string> Order;  // most recent first
    std::map<std::string, size_t> Sizes;
    size_t Bytes = 0;
  };
  std::map<size_t, TModel> models;
  const auto shardOf = [](const std::string& AKey) { return std::hash<std::string>()(AKey) % TqvImap4FetchCache::kShards; };
  std::mt19937 random(7);
  for (int step = 0; step < 20000; ++step) {
    const std::string& key = keys[random() % keys.size()];
    TModel& model = models[shardOf(key)];
    if (random() % 3 == 0) {
      const size_t size = 40 + random() % 900;
      cache.Add(key, std::string(size, static_cast<char>('a' + step % 26)));
      if (model.Sizes.count(key) || key.size() + size > kShare / 4) continue;
      model.Order.push_front(key);
      model.Sizes[key] = key.size() + size;
      model.Bytes += key.size() + size;
      while (model.Bytes > kShare) {
        model.Bytes -= model.Sizes[model.Order.back()];
        model.Sizes.erase(model.Order.back());
        model.Order.pop_back();
      }
    } else {
      const TqvImap4FetchCache::TAnswer answer = cache.Find(key);
      ASSERT_EQ(answer != nullptr, model.Sizes.count(key) > 0) << "step " << step;
      if (!answer) continue;
      EXPECT_EQ(answer->size() + key.size(), model.Sizes[key]);
      model.Order.remove(key);
      model.Order.push_front(key);
    }
  }
  size_t bytes = 0;
  for (const auto& [shard, model] : models) bytes += model.Bytes;
  EXPECT_EQ(cache.Bytes(), bytes);
}
