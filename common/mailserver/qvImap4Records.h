// The IMAP4 data model the server and its stores share: mailbox records
// (TqvImap4MailBoxItem, in a TqvImap4MailBoxList that owns them) and message
// records (TqvImap4MessageItem) in UID order in a TqvImap4MessageList, which
// owns its items, refers to another list's (a view), or holds a store's
// shared, unchanging snapshot and copies a record before it is changed. A
// list is used by one thread at a time; a snapshot may be read by any.
// Out-of-range indexes raise EListError; a view asked to make an item raises
// EInvalidOperation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ClassCore.h"
#include "DateTime.h"
#include "qvImapUtils.h"

enum TqvImap4MailBoxAttribute : uint8_t { maNoinferiors, maNoselect, maMarked, maUnmarked };
using TqvImap4MailBoxAttributes = uint8_t;  // bit i is attribute i
constexpr TqvImap4MailBoxAttributes MailBoxAttribute(TqvImap4MailBoxAttribute A) {
  return static_cast<TqvImap4MailBoxAttributes>(1u << A);
}
// "\Noinferiors \Noselect \Marked \Unmarked", those present, one blank apart.
[[nodiscard]] std::string GetImapMailBoxAttributes(TqvImap4MailBoxAttributes AAttributes);

class TqvImap4MailBoxItem : public TObject {
 public:
  VX_CLASS_NAME("TqvImap4MailBoxItem")
  void Assign(const TqvImap4MailBoxItem& ASource) { *this = ASource; }

  std::string Name;  // decoded; levels joined by the server's separator
  bool Subscribed = false;
  TqvMailMessageFlags Flags = qvAllMessageFlags;
  TqvMailMessageFlags PermanentFlags = qvAllMessageFlags & ~MessageFlag(mfRecent);
  int64_t UIDNext = 0;
  std::string UIDValidity;  // sent as it stands
  TqvImap4MailBoxAttributes Attributes = 0;
  int64_t LastMessageNumber = 0;  // the store's own counter
};

// Owns its items; the server hands an empty one to OnGetMailBoxes.
class TqvImap4MailBoxList {
 public:
  // A new item at the end, owned by the list.
  TqvImap4MailBoxItem* Add();
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  // 0-based; raises EListError out of range.
  [[nodiscard]] TqvImap4MailBoxItem* Items(int AIndex) const;
  void Delete(int AIndex);
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TqvImap4MailBoxItem>> FItems;
};

class TqvImap4MessageItem : public TObject {
 public:
  TqvImap4MessageItem();
  explicit TqvImap4MessageItem(TDateTime ADate) : Date(ADate) {}
  VX_CLASS_NAME("TqvImap4MessageItem")
  std::string Name;  // the store's name (its full path in the file store)
  TDateTime Date;    // internal date, local time; now by default
  int64_t UID = -1;  // -1: not yet assigned
  int SequenceNumber = 0;
  TqvMailMessageFlags Flags = 0;
  // The store's number for this message's bytes: the same Name, Date and
  // number always mean the same bytes (the file store: the file's inode).
  // 0 when the store gives none.
  uint64_t ContentKey = 0;
  // The flags as the store gave them; -1 when the item did not come from the
  // store. A store writes back only the change from these to Flags, so that
  // what other sessions stored meanwhile stays.
  int16_t StoredFlags = -1;
};

// Message records a store hands to several sessions at once (see
// TqvImap4MessageList::AddShared): in list order, each SequenceNumber its
// 1-based position, and never changed once made, so any thread may read it.
using TqvImap4MessageSnapshot = std::vector<TqvImap4MessageItem>;
using TqvImap4MessageSnapshotPtr = std::shared_ptr<const TqvImap4MessageSnapshot>;

// Messages in UID order (those without a UID at the end). Either owns its
// items (the working lists handed to the events) or only refers to items of
// another list (views), which must outlive it. A list may also hold the
// records of a shared snapshot (AddShared): reading them (Peek, the const
// accessors) copies nothing, and the non-const accessors first replace such
// a record by the list's own copy, so a caller never changes what other
// sessions read.
class TqvImap4MessageList {
 public:
  explicit TqvImap4MessageList(bool AOwnsItems = true) : FOwnsItems(AOwnsItems) {}
  TqvImap4MessageList(const TqvImap4MessageList&) = delete;
  TqvImap4MessageList& operator=(const TqvImap4MessageList&) = delete;
  ~TqvImap4MessageList();

  [[nodiscard]] bool OwnsItems() const { return FOwnsItems; }
  // Sorted insertion by UID: a negative UID goes to the end; otherwise after
  // the last item with a smaller non-negative UID (the front when none).
  // An owning list takes the item; a view only refers to it.
  TqvImap4MessageItem* Add(std::unique_ptr<TqvImap4MessageItem> AItem);
  TqvImap4MessageItem* AddRef(TqvImap4MessageItem* AItem);
  // A new owned item with its name, added by the same rule.
  TqvImap4MessageItem* Add(const std::string& AName, int64_t AUID, TqvMailMessageFlags AFlags, TDateTime ADate);
  // An empty list takes the snapshot's items in its order, keeping the
  // snapshot alive, without copying them; false (nothing added) when the
  // list is not empty.
  bool AddShared(TqvImap4MessageSnapshotPtr ASnapshot);
  // The item an item of this list has become by Items (AItem itself when it
  // was the list's own), made the list's own now; null when AItem is not in
  // the list. Views that hold the shared record keep seeing it.
  TqvImap4MessageItem* Writable(const TqvImap4MessageItem* AItem);
  [[nodiscard]] bool IsShared(const TqvImap4MessageItem* AItem) const;
  // The one snapshot this list holds unchanged (AddShared and nothing
  // taken for a change since); null otherwise.
  [[nodiscard]] TqvImap4MessageSnapshotPtr Snapshot() const;

  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  // 0-based; raises EListError out of range. The non-const form gives an
  // item the caller may change (a shared record becomes the list's own copy
  // first); Peek and the const form only read.
  [[nodiscard]] TqvImap4MessageItem* Items(int AIndex);
  [[nodiscard]] const TqvImap4MessageItem* Items(int AIndex) const { return Peek(AIndex); }
  [[nodiscard]] const TqvImap4MessageItem* Peek(int AIndex) const;
  // Exact, case-sensitive; null when none. The forms differ as Items' do.
  [[nodiscard]] TqvImap4MessageItem* Find(const std::string& AName);
  [[nodiscard]] const TqvImap4MessageItem* Find(const std::string& AName) const;
  [[nodiscard]] int IndexOf(const std::string& AName) const;
  void Delete(int AIndex);
  void Clear();
  // SequenceNumber := 1-based position, for every item; nothing to do while
  // the list knows them numbered (after AddShared or Renumber, until an item
  // is added, deleted or taken for a change).
  void Renumber();
  // Numbers this list, then a view of the items having AFlag, in UID order.
  [[nodiscard]] std::unique_ptr<TqvImap4MessageList> FlagView(TqvMailMessageFlag AFlag);
  // (UID, 0-based position) of the leading items up to the first without a UID.
  [[nodiscard]] std::vector<std::pair<int64_t, int>> UidIndex() const;
  // Numbers this list, then a view of the messages a sequence set names
  // ("1,3:5,7:*"), each once, in UID order. Only the leading messages with a
  // UID are addressable. Sequence numbers: "*" is the last addressable one,
  // ranges are clamped to 1..addressable, 0 names nothing. UIDs (AUseUids):
  // "*" is the highest UID, a range lo:hi (either order) holds every UID in
  // it, so "n:*" with n above the highest still gives the last message. A
  // token that is not a number counts as 0.
  [[nodiscard]] std::unique_ptr<TqvImap4MessageList> SetView(std::string_view ASet, bool AUseUids);

 private:
  void InsertSorted(TqvImap4MessageItem* AItem);
  bool FOwnsItems;
  std::vector<TqvImap4MessageItem*> FItems;  // in UID order
  std::vector<std::unique_ptr<TqvImap4MessageItem>> FOwned;
  std::vector<TqvImap4MessageSnapshotPtr> FShared;
  // Every item's SequenceNumber is its position: Renumber has nothing to do.
  bool FNumbered = false;
};
