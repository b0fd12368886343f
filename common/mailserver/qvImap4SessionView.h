// The selected mailbox as one IMAP session has been told of it (RFC 3501
// 5.2, 7.4.1): the UIDs it knows, in sequence order (ascending), each with
// the flags last reported to it and whether the message is \Recent in this
// session. Sequence numbers in commands and replies are positions in this
// view, never in the store's current listing. Update compares the view with
// the store's records and writes the untagged lines that bring the client up
// to date: EXPUNGE (highest first), EXISTS, RECENT, FETCH (FLAGS). EXISTS
// never goes down; a message joins only at the end, so a stored UID below
// the last one known that the view never had is left out until the next
// SELECT. Owned by one connection; used under its command lock only. About
// five bytes per message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvImapUtils.h"

class TqvImap4MessageItem;
class TqvImap4MessageList;
using TqvImap4MessageSnapshot = std::vector<TqvImap4MessageItem>;

class TqvImap4SessionView {
 public:
  // Tells whether a message joining the view is \Recent in this session.
  using TRecentTest = std::function<bool(const TqvImap4MessageItem&)>;

  void Clear();
  [[nodiscard]] int Count() const { return static_cast<int>(FUids.size()); }
  // 0-based; the caller keeps AIndex within Count().
  [[nodiscard]] int64_t Uid(int AIndex) const { return FUids[static_cast<size_t>(AIndex)]; }
  // As last reported: \Recent is this session's own.
  [[nodiscard]] TqvMailMessageFlags Flags(int AIndex) const { return FFlags[static_cast<size_t>(AIndex)]; }
  [[nodiscard]] bool Recent(int AIndex) const { return (Flags(AIndex) & MessageFlag(mfRecent)) != 0; }
  [[nodiscard]] int RecentCount() const;
  [[nodiscard]] int64_t LastUid() const { return FUids.empty() ? 0 : FUids.back(); }
  // The 0-based position of AUid; -1 when the view has none.
  [[nodiscard]] int IndexOf(int64_t AUid) const;
  // The flags a message stored with AStored shows this session: the stored
  // ones with this session's \Recent in place of the store's.
  [[nodiscard]] TqvMailMessageFlags SessionFlags(int AIndex, TqvMailMessageFlags AStored) const;
  // AFlags were reported now (their \Recent is ignored: the view keeps its own).
  void Reported(int AIndex, TqvMailMessageFlags AFlags);

  // Brings the view up to AStored (the store's messages in UID order; those
  // without a UID are left out) and appends the untagged lines to ALines.
  // With AExpunge, messages gone from the store are reported and leave the
  // view; without it they stay (Pending) and keep their last flags. New
  // messages join at the end, \Recent where ARecent says so. AWithUid puts
  // the UID into the FETCH lines (replies to UID commands).
  void Update(const TqvImap4MessageList& AStored, bool AExpunge, bool AWithUid, const TRecentTest& ARecent,
              std::vector<std::string>& ALines);
  // Messages gone from the store and not yet reported.
  [[nodiscard]] bool Pending() const { return FPending; }
  // Whether the view already says what ASnapshot says (the store hands out
  // one unchanging snapshot until something changes).
  [[nodiscard]] bool SyncedWith(const std::shared_ptr<const TqvImap4MessageSnapshot>& ASnapshot) const;
  void MarkSynced(const std::shared_ptr<const TqvImap4MessageSnapshot>& ASnapshot) { FSynced = ASnapshot; }
  // True when the view's UIDs are exactly those of AStored, in order.
  [[nodiscard]] bool SameAs(const TqvImap4MessageList& AStored) const;

 private:
  // IMAP UIDs are 32-bit numbers.
  std::vector<uint32_t> FUids;
  std::vector<TqvMailMessageFlags> FFlags;
  bool FPending = false;
  std::weak_ptr<const TqvImap4MessageSnapshot> FSynced;
};
