// The folder index of the IMAP4 file store: what TqvImap4FileHandler keeps of
// one mailbox folder between events (its parsed state files, its message
// files by name and inode, their sorted listing), the inotify watch that says
// when a listing may be stale, and the few file helpers the store's sources
// share. Internal to the store: included only by qvImap4FileHandler.cpp
// (component, names and mailbox events), qvImap4FolderIndex.cpp (index, watch
// and settings) and qvImap4FileHandlerMessages.cpp (message events). An index
// is guarded by its Lock; the watch by its own, taken after every other lock.
#pragma once

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "UniqueFd.h"
#include "qvImap4FileHandler.h"

namespace qvimap4store {

enum class TEntryKind { Missing, Folder, Other };

// True for a regular file at APath itself (a link is not followed).
[[nodiscard]] bool IsRegularFile(const std::string& APath);

// The file in an account folder (or the shared root) that keeps the last
// UIDVALIDITY given to one of its mailboxes, as decimal text.
inline constexpr char kUidValidityFile[] = "uidvalidity.dat";

// What identifies one version of a file: a replace gives a new inode, a
// rewrite in place a new size or modification time.
struct TFileKey {
  dev_t Dev = 0;
  ino_t Ino = 0;
  off_t Size = -1;
  int64_t MTimeNs = 0;
  int64_t CTimeNs = 0;
  bool operator==(const TFileKey&) const = default;
};

}  // namespace qvimap4store

struct TqvImap4FileHandler::TMailBoxFolder {
  std::string Path;  // ends in "/"; "" when the name has no folder
  bool Protected = false;
  qvimap4store::TEntryKind Kind = qvimap4store::TEntryKind::Missing;
  [[nodiscard]] bool Exists() const { return !Path.empty() && Kind == qvimap4store::TEntryKind::Folder; }
};

struct TqvImap4FileHandler::TListedMessage {
  std::string Name;  // the file name alone
  TDateTime Date = 0;
  ino_t Ino = 0;
  uint64_t ContentKey = 0;
};

// One mailbox folder as the store last saw it: "messages.dat" parsed (read
// again when its key changes), the date of each message file by name and
// inode (a message file is never rewritten in place), and the sorted listing
// (read again when the folder's watch tells of a change, so files the SMTP
// store drops in are seen at the next event). Guarded by Lock.
struct TqvImap4FileHandler::TFolderIndex {
  std::mutex Lock;
  bool EntriesValid = false;
  // Changes of the entries are written in groups: a change counts Changed
  // up; one session at a time (Writing) writes the entries as they are then
  // with Lock released, and Written then covers every change made before it
  // began. Those waiting meanwhile find theirs written, or write next.
  // Until Written reaches Changed the entries, not the file, say what is
  // stored. Lost: the changes up to it are not on disk (a write failed).
  bool Writing = false;
  uint64_t Changed = 0;
  uint64_t Written = 0;
  uint64_t Lost = 0;
  std::condition_variable WriteDone;
  // The file no longer known: read again, and the changes waiting lost.
  void Forget() {
    EntriesValid = false;
    Lost = Changed;
    WriteDone.notify_all();
  }
  // A file read from disk that changed within this time of being read may
  // change again without a new key (coarse file times): it is read again.
  static constexpr int64_t kSettleNs = 2'000'000'000;
  bool EntriesSettled = false;
  qvimap4store::TFileKey EntriesKey;
  TqvImap4MessageList Entries;
  // "imap.dat" as last read or written, kept by the same rule.
  bool SettingsValid = false;
  bool SettingsSettled = false;
  qvimap4store::TFileKey SettingsKey;
  TqvImap4MailBoxItem Settings;
  // The entries by message file name.
  std::unordered_map<std::string, TqvImap4MessageItem*> ByName;
  struct TFile {
    ino_t Ino = 0;
    TDateTime Date = 0;
    uint64_t ContentKey = 0;  // see ContentKeyOf
  };
  struct TNameHash {
    using is_transparent = void;
    size_t operator()(std::string_view AName) const { return std::hash<std::string_view>()(AName); }
  };
  std::unordered_map<std::string, TFile, TNameHash, std::equal_to<>> Files;
  // The last listing: inode and name of each message file in directory
  // order, and the files sorted by name with their dates.
  std::string Raw;
  std::vector<TListedMessage> Listed;
  // The folder's watch (-1: none yet) and the watch generation the listing
  // was read at (0: none; read again).
  int Watch = -1;
  uint64_t ListedGeneration = 0;

  void ForgetListing() {
    Raw.clear();
    ListedGeneration = 0;
  }

  // Bumped when entries come or go (EntriesVersion), when an entry's UID or
  // flags change (FieldsVersion) and when the listing changes. Snapshot (the
  // messages as GetMessages gives them, shared by the sessions) and
  // AllListed (every entry names a listed file) were made at the versions
  // beside them.
  uint64_t EntriesVersion = 0;
  uint64_t FieldsVersion = 0;
  uint64_t ListingVersion = 0;
  using TVersions = std::array<uint64_t, 3>;
  [[nodiscard]] TVersions Versions() const { return {EntriesVersion, FieldsVersion, ListingVersion}; }
  TqvImap4MessageSnapshotPtr Snapshot;
  TVersions SnapshotVersions{~0ull, ~0ull, ~0ull};
  bool AllListed = false;
  std::pair<uint64_t, uint64_t> AllListedVersions{~0ull, ~0ull};
  // The highest UID of the entries (-1: none), made at MaxUidVersions.
  int64_t MaxUid = -1;
  std::pair<uint64_t, uint64_t> MaxUidVersions{~0ull, ~0ull};
  // True when AItem is one of the current snapshot's records, which then say
  // what the entries and the listing say.
  [[nodiscard]] bool InCurrentSnapshot(const TqvImap4MessageItem* AItem) const {
    if (!Snapshot || SnapshotVersions != Versions()) return false;
    const TqvImap4MessageItem* first = Snapshot->data();
    return std::less_equal<>()(first, AItem) && std::less<>()(AItem, first + Snapshot->size());
  }

  // The listed date of a message file of the folder (the listing's files
  // are those of Files); null when it is not listed.
  [[nodiscard]] const TDateTime* ListedDate(std::string_view AName) const {
    if (AName.empty()) return nullptr;
    const auto found = Files.find(AName);
    return found == Files.end() ? nullptr : &found->second.Date;
  }
  // The highest UID of the entries, made again when they changed.
  [[nodiscard]] int64_t MaxEntryUid();
  // Whether every entry names a listed file, made again when the entries or
  // the listing changed.
  [[nodiscard]] bool EntriesAllListed();
  // The entry of the listed file AName, added without UID or flags when it
  // has none (AAdded is then set).
  [[nodiscard]] TqvImap4MessageItem* EntryFor(std::string_view AName, bool& AAdded);

  void IndexEntries() {
    ++EntriesVersion;
    ByName.clear();
    for (int i = 0; i < Entries.Count(); ++i) ByName.emplace(Entries.Items(i)->Name, Entries.Items(i));
  }
};

// Which watched folders may have a new set of message files: one inotify
// instance, whose events are read before a listing is trusted. A file made,
// linked, renamed or removed under a message file's name, a watched folder
// going, or lost events start a new generation; listings of an older one are
// read again. Events are queued before the call that caused them returns, so
// a delivery that finished before the check is always seen.
class TqvImap4FileHandler::TFolderWatch {
 public:
  // Watches AFolder (AWatch, -1 at first, keeps the watch) and gives the
  // current generation; false when no watch can be had (then list always).
  bool Generation(const std::string& AFolder, int& AWatch, uint64_t& AGeneration);
  void Release(int AWatch);

 private:
  static constexpr uint32_t kEvents =
      IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

  void ReleaseLocked(int AWatch);
  void Drain();

  std::mutex FLock;
  bool FTried = false;
  plat::UniqueFd FFd;
  uint64_t FGeneration = 1;
  std::unordered_map<int, int> FUsers;  // indexes holding each watch
  std::unordered_set<int> FGone;        // watches the system ended
};
