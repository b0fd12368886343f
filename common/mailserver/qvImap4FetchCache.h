// The FETCH answers of the IMAP4 server that depend on a message's bytes
// alone (ENVELOPE, BODYSTRUCTURE, BODY[...], RFC822..., RFC822.SIZE), kept
// by the message's name, date and the store's content key (ContentKey) so
// that sessions asking again need neither the store's read nor the parse.
// Bounded in bytes: the answers are spread over shards by key, each with a
// share of the bound and its own lock; in a shard the least recently used
// answers go first, and an answer larger than a quarter of a shard's share
// is never kept. A shard finds its answers through an open-addressing table
// of key hashes (one probe is one cache line, no division). Any thread.
#pragma once

#include <array>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TqvImap4MessageItem;

class TqvImap4FetchCache {
 public:
  explicit TqvImap4FetchCache(size_t ACapacityBytes);
  TqvImap4FetchCache(const TqvImap4FetchCache&) = delete;
  TqvImap4FetchCache& operator=(const TqvImap4FetchCache&) = delete;

  // The key of one item of one message version; "" (no caching) when the
  // store gave no content key.
  [[nodiscard]] static std::string Key(const TqvImap4MessageItem& AMessage, const std::string& AItem);
  // The answer kept under AKey, shared and never changed; null when none
  // (always for an empty key).
  using TAnswer = std::shared_ptr<const std::string>;
  [[nodiscard]] TAnswer Find(const std::string& AKey);
  // True and a copy of the answer's bytes when AKey is kept.
  [[nodiscard]] bool Find(const std::string& AKey, std::string& ABytes);
  // Keeps the answer under AKey (nothing for an empty key or too large bytes).
  void Add(const std::string& AKey, TAnswer ABytes);
  void Add(const std::string& AKey, const std::string& ABytes);
  // What all shards hold.
  [[nodiscard]] size_t Bytes() const;
  // Forgets every answer (a mailbox deleted or renamed: its messages' names
  // may come back with other bytes).
  void Clear();

  static constexpr size_t kShards = 16;

 private:
  struct TEntry {
    std::string Key;
    TAnswer Bytes;
    size_t Hash = 0;
  };
  using TEntries = std::list<TEntry>;
  // Linear probing from (Hash / kShards) & mask; Mark 0 is a free slot.
  struct TSlot {
    size_t Mark = 0;  // the key's hash with its lowest bit set
    TEntries::iterator Entry;
  };
  struct TShard {
    mutable std::mutex Lock;
    size_t Bytes = 0;
    TEntries Entries;  // most recently used first
    std::vector<TSlot> Slots;  // a power of two, at most half used
    size_t Used = 0;
    // The slot of AKey (AHash its hash), or the free slot that ends its probe.
    [[nodiscard]] size_t Probe(const std::string& AKey, size_t AHash) const;
    void Insert(TEntries::iterator AEntry);
    void Erase(TEntries::iterator AEntry);
  };
  static size_t HashOf(const std::string& AKey) { return std::hash<std::string>()(AKey); }
  TShard& ShardOf(size_t AHash) { return FShards[AHash % kShards]; }
  size_t FShardCapacity;
  std::array<TShard, kShards> FShards;
};
