// The FETCH answer cache: keys tell message versions and items apart, the
// bound in bytes holds, and the least recently used answers go first.
#include <gtest/gtest.h>

#include <set>

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

  TqvImap4FetchCache cache(4000);
  std::string bytes;
  cache.Add("", "nothing");
  EXPECT_FALSE(cache.Find("", bytes));
  cache.Add("big", std::string(1001, 'b'));  // above a quarter: never kept
  EXPECT_FALSE(cache.Find("big", bytes));
  for (int i = 0; i < 5; ++i) cache.Add("k" + std::to_string(i), std::string(900, static_cast<char>('0' + i)));
  EXPECT_LE(cache.Bytes(), 4000u);
  EXPECT_FALSE(cache.Find("k0", bytes));
  ASSERT_TRUE(cache.Find("k1", bytes));  // k1 is now the most recent
  EXPECT_EQ(bytes, std::string(900, '1'));
  cache.Add("k5", std::string(900, '5'));
  EXPECT_TRUE(cache.Find("k1", bytes));
  EXPECT_FALSE(cache.Find("k2", bytes));
  EXPECT_TRUE(cache.Find("k5", bytes));
}
