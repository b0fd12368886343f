// The FETCH answers of the IMAP4 server that depend on a message's bytes
// alone (ENVELOPE, BODYSTRUCTURE, BODY[...], RFC822..., RFC822.SIZE), kept
// by the message's name, date and the store's content key (ContentKey) so
// that sessions asking again need neither the store's read nor the parse.
// Bounded in bytes: the answers are spread over shards by key, each with a
// share of the bound and its own lock; in a shard the least recently used
// answers go first, and an answer larger than a quarter of a shard's share
// is never kept. Any thread.
#pragma once

#include <array>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

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

  static constexpr size_t kShards = 16;

 private:
  struct TEntry {
    std::string Key;
    TAnswer Bytes;
  };
  struct TShard {
    mutable std::mutex Lock;
    size_t Bytes = 0;
    std::list<TEntry> Entries;  // most recently used first
    std::unordered_map<std::string, std::list<TEntry>::iterator> ByKey;
  };
  TShard& ShardOf(const std::string& AKey) { return FShards[std::hash<std::string>()(AKey) % kShards]; }
  size_t FShardCapacity;
  std::array<TShard, kShards> FShards;
};
