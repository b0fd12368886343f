// The FETCH answer cache: keys tell message versions and items apart, each
// shard's bound in bytes holds, and the least recently used answers go first.
#include <gtest/gtest.h>

#include <functional>
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
