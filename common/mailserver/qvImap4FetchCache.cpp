#include "qvImap4FetchCache.h"

#include <cstdio>
#include <cstring>

#include "qvImap4Server.h"

std::string TqvImap4FetchCache::Key(const TqvImap4MessageItem& AMessage, const std::string& AItem) {
  if (AMessage.ContentKey == 0) return {};
  char stamp[40];
  uint64_t date = 0;
  static_assert(sizeof date == sizeof AMessage.Date);
  std::memcpy(&date, &AMessage.Date, sizeof date);
  const int n = std::snprintf(stamp, sizeof stamp, "%llx.%llx\n", static_cast<unsigned long long>(AMessage.ContentKey),
                              static_cast<unsigned long long>(date));
  std::string key(stamp, static_cast<size_t>(n));
  key.append(AMessage.Name).append(1, '\n').append(AItem);
  return key;
}

TqvImap4FetchCache::TqvImap4FetchCache(size_t ACapacityBytes) : FShardCapacity(ACapacityBytes / kShards) {}

TqvImap4FetchCache::TAnswer TqvImap4FetchCache::Find(const std::string& AKey) {
  if (AKey.empty()) return nullptr;
  TShard& shard = ShardOf(AKey);
  std::scoped_lock lock(shard.Lock);
  const auto found = shard.ByKey.find(AKey);
  if (found == shard.ByKey.end()) return nullptr;
  shard.Entries.splice(shard.Entries.begin(), shard.Entries, found->second);
  return found->second->Bytes;
}

bool TqvImap4FetchCache::Find(const std::string& AKey, std::string& ABytes) {
  const TAnswer answer = Find(AKey);
  if (answer) ABytes = *answer;
  return answer != nullptr;
}

void TqvImap4FetchCache::Add(const std::string& AKey, const std::string& ABytes) {
  if (AKey.empty() || AKey.size() + ABytes.size() > FShardCapacity / 4) return;
  Add(AKey, std::make_shared<const std::string>(ABytes));
}

void TqvImap4FetchCache::Add(const std::string& AKey, TAnswer ABytes) {
  if (!ABytes) return;
  const size_t size = AKey.size() + ABytes->size();
  if (AKey.empty() || size > FShardCapacity / 4) return;
  TShard& shard = ShardOf(AKey);
  std::scoped_lock lock(shard.Lock);
  if (shard.ByKey.count(AKey)) return;
  shard.Entries.push_front({AKey, std::move(ABytes)});
  shard.ByKey.emplace(AKey, shard.Entries.begin());
  shard.Bytes += size;
  while (shard.Bytes > FShardCapacity && !shard.Entries.empty()) {
    const TEntry& last = shard.Entries.back();
    shard.Bytes -= last.Key.size() + last.Bytes->size();
    shard.ByKey.erase(last.Key);
    shard.Entries.pop_back();
  }
}

size_t TqvImap4FetchCache::Bytes() const {
  size_t total = 0;
  for (const TShard& shard : FShards) {
    std::scoped_lock lock(shard.Lock);
    total += shard.Bytes;
  }
  return total;
}
