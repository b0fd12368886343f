#include "qvImap4FetchCache.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <algorithm>

#include "qvImap4Records.h"

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

namespace {

constexpr size_t kFirstSlots = 64;

size_t MarkOf(size_t AHash) { return AHash | 1; }

}  // namespace

size_t TqvImap4FetchCache::TShard::Probe(const std::string& AKey, size_t AHash) const {
  const size_t mask = Slots.size() - 1;
  const size_t mark = MarkOf(AHash);
  for (size_t i = (AHash / kShards) & mask;; i = (i + 1) & mask) {
    const TSlot& slot = Slots[i];
    if (slot.Mark == 0 || (slot.Mark == mark && slot.Entry->Key == AKey)) return i;
  }
}

void TqvImap4FetchCache::TShard::Insert(TEntries::iterator AEntry) {
  if ((Used + 1) * 2 > Slots.size()) {
    // Twice the room, every entry placed anew.
    Slots.assign(std::max(kFirstSlots, Slots.size() * 2), TSlot{});
    Used = 0;
    for (auto it = Entries.begin(); it != Entries.end(); ++it)
      if (it != AEntry) Insert(it);
  }
  const size_t mask = Slots.size() - 1;
  size_t i = (AEntry->Hash / kShards) & mask;
  while (Slots[i].Mark != 0) i = (i + 1) & mask;
  Slots[i] = {MarkOf(AEntry->Hash), AEntry};
  ++Used;
}

void TqvImap4FetchCache::TShard::Erase(TEntries::iterator AEntry) {
  const size_t mask = Slots.size() - 1;
  size_t i = (AEntry->Hash / kShards) & mask;
  while (!(Slots[i].Mark != 0 && Slots[i].Entry == AEntry)) i = (i + 1) & mask;
  // Later slots of the same run move back so that no probe stops early.
  for (size_t j = i;;) {
    Slots[i] = TSlot{};
    for (;;) {
      j = (j + 1) & mask;
      if (Slots[j].Mark == 0) {
        --Used;
        return;
      }
      const size_t home = (Slots[j].Entry->Hash / kShards) & mask;
      // Stays when its home lies cyclically in (i, j].
      const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (!stays) break;
    }
    Slots[i] = Slots[j];
    i = j;
  }
}

TqvImap4FetchCache::TAnswer TqvImap4FetchCache::Find(const std::string& AKey) {
  if (AKey.empty()) return nullptr;
  const size_t hash = HashOf(AKey);
  TShard& shard = ShardOf(hash);
  std::scoped_lock lock(shard.Lock);
  if (shard.Slots.empty()) return nullptr;
  const TSlot& slot = shard.Slots[shard.Probe(AKey, hash)];
  if (slot.Mark == 0) return nullptr;
  shard.Entries.splice(shard.Entries.begin(), shard.Entries, slot.Entry);
  return slot.Entry->Bytes;
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
  const size_t hash = HashOf(AKey);
  TShard& shard = ShardOf(hash);
  std::scoped_lock lock(shard.Lock);
  if (!shard.Slots.empty() && shard.Slots[shard.Probe(AKey, hash)].Mark != 0) return;
  shard.Entries.push_front({AKey, std::move(ABytes), hash});
  shard.Insert(shard.Entries.begin());
  shard.Bytes += size;
  while (shard.Bytes > FShardCapacity && !shard.Entries.empty()) {
    const auto last = std::prev(shard.Entries.end());
    shard.Bytes -= last->Key.size() + last->Bytes->size();
    shard.Erase(last);
    shard.Entries.erase(last);
  }
}

void TqvImap4FetchCache::Clear() {
  for (TShard& shard : FShards) {
    std::scoped_lock lock(shard.Lock);
    shard.Entries.clear();
    shard.Slots.clear();
    shard.Used = 0;
    shard.Bytes = 0;
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
