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

bool TqvImap4FetchCache::Find(const std::string& AKey, std::string& ABytes) {
  if (AKey.empty()) return false;
  std::scoped_lock lock(FLock);
  const auto found = FByKey.find(AKey);
  if (found == FByKey.end()) return false;
  FEntries.splice(FEntries.begin(), FEntries, found->second);
  ABytes = found->second->Bytes;
  return true;
}

void TqvImap4FetchCache::Add(const std::string& AKey, const std::string& ABytes) {
  const size_t size = AKey.size() + ABytes.size();
  if (AKey.empty() || size > FCapacity / 4) return;
  std::scoped_lock lock(FLock);
  if (FByKey.count(AKey)) return;
  FEntries.push_front({AKey, ABytes});
  FByKey.emplace(AKey, FEntries.begin());
  FBytes += size;
  while (FBytes > FCapacity && !FEntries.empty()) {
    const TEntry& last = FEntries.back();
    FBytes -= last.Key.size() + last.Bytes.size();
    FByKey.erase(last.Key);
    FEntries.pop_back();
  }
}

size_t TqvImap4FetchCache::Bytes() const {
  std::scoped_lock lock(FLock);
  return FBytes;
}
