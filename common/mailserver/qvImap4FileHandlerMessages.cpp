// The message events of the IMAP4 file store: listing a mailbox's messages,
// storing their UIDs and flags, deleting and reading message files, and
// APPEND.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "qvImap4FileHandler.h"
#include "qvImap4FolderIndex.h"
#include "qvImap4Server.h"
#include "qvMailBoxFiles.h"
#include "qvMailStoreUtils.h"
#include "qvMessageSpool.h"
#include "qvFileUtils.h"
#include "qvTextSplit.h"

using qvimap4store::IsRegularFile;

namespace {

// Names tried after the first when a new message's number is taken.
constexpr int kAppendRetries = 1000;

// The file name of a message path of AFolder; "" for any other path.
std::string_view FileNameIn(const std::string& AFolder, const std::string& APath) {
  if (APath.size() <= AFolder.size() || APath.compare(0, AFolder.size(), AFolder) != 0) return {};
  return std::string_view(APath).substr(AFolder.size());
}

// Only a session's change of the flags (from the record's StoredFlags to its
// Flags) is applied to what is stored now: flags other sessions set or
// cleared since its list was read stay as they are.
TqvMailMessageFlags MergedFlags(const TqvImap4MessageItem& AItem, TqvMailMessageFlags AStored) {
  if (AItem.StoredFlags < 0) return AItem.Flags;
  const auto read = static_cast<TqvMailMessageFlags>(AItem.StoredFlags);
  const auto added = static_cast<TqvMailMessageFlags>(AItem.Flags & ~read);
  const auto removed = static_cast<TqvMailMessageFlags>(read & ~AItem.Flags);
  return static_cast<TqvMailMessageFlags>((AStored | added) & ~removed);
}

}  // namespace

void TqvImap4FileHandler::GetMessages(TObject*, TqvImap4CommandConnection* AConnection,
                                      TqvImap4MessageList& AMessages, const std::string& AMailBox, bool& Success) {
  std::shared_lock lock(FLock);
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox);
  if (!folder.Exists()) {
    Success = false;
    return;
  }
  const TFolderIndexPtr index = FolderIndex(folder.Path);
  std::scoped_lock folderLock(index->Lock);
  (void)Entries(*index, folder.Path);
  (void)ListMessages(*index, folder.Path);
  // Made again only when an entry or the listing changed; the sessions share
  // it until then.
  if (index->SnapshotVersions != index->Versions()) {
    TqvImap4MessageList list;
    AddListedMessages(*index, folder.Path, list);
    auto snapshot = std::make_shared<TqvImap4MessageSnapshot>();
    snapshot->reserve(static_cast<size_t>(list.Count()));
    for (int i = 0; i < list.Count(); ++i) {
      snapshot->push_back(std::move(*list.Items(i)));
      snapshot->back().SequenceNumber = i + 1;
    }
    index->Snapshot = std::move(snapshot);
    index->SnapshotVersions = index->Versions();
  }
  if (!AMessages.AddShared(index->Snapshot)) AddListedMessages(*index, folder.Path, AMessages);
  Success = true;
}

void TqvImap4FileHandler::AddListedMessages(TFolderIndex& AIndex, const std::string& AFolder,
                                            TqvImap4MessageList& AMessages) const {
  for (const TListedMessage& file : AIndex.Listed) {
    auto item = std::make_unique<TqvImap4MessageItem>(file.Date);
    item->Name.reserve(AFolder.size() + file.Name.size());
    item->Name.append(AFolder).append(file.Name);
    // A message file is never rewritten in place: another device, inode,
    // size or time is other bytes.
    item->ContentKey = file.ContentKey;
    if (const auto found = AIndex.ByName.find(file.Name); found != AIndex.ByName.end()) {
      item->UID = found->second->UID;
      item->Flags = found->second->Flags;
    }
    item->StoredFlags = item->Flags;
    AMessages.Add(std::move(item));
  }
}

// The UIDs one UpdateMessages gives out, above those held (read only when
// one is given out) and the stored UIDNext.
class TqvImap4FileHandler::TUidGiver {
 public:
  TUidGiver(TqvImap4MessageList& AEntries, int64_t AUIDNext, int64_t AMaxUid)
      : FEntries(AEntries), FUIDNext(AUIDNext), FNext(std::max<int64_t>({AUIDNext, 1, AMaxUid + 1})) {}

  // AEntry, which has none, gets AUid, or the next free one when AUid was
  // given out by another session since its list was read (it is below the
  // stored UIDNext or already held): a duplicate otherwise.
  void Give(TqvImap4MessageItem& AEntry, int64_t AUid) {
    int64_t uid = AUid;
    if (uid < FUIDNext || IsTaken(uid)) uid = FNext;
    AEntry.UID = uid;
    (void)IsTaken(uid);
    FTaken.insert(uid);
    FNext = std::max(FNext, uid + 1);
  }

  // Above every UID given out.
  [[nodiscard]] int64_t Next() const { return FNext; }

 private:
  bool IsTaken(int64_t AUid) {
    if (!FTakenKnown) {
      for (int i = 0; i < FEntries.Count(); ++i)
        if (FEntries.Items(i)->UID >= 0) FTaken.insert(FEntries.Items(i)->UID);
      FTakenKnown = true;
    }
    return FTaken.count(AUid) > 0;
  }

  TqvImap4MessageList& FEntries;
  const int64_t FUIDNext;
  int64_t FNext;
  std::unordered_set<int64_t> FTaken;
  bool FTakenKnown = false;
};

void TqvImap4FileHandler::UpdateMessages(TObject*, TqvImap4CommandConnection* AConnection,
                                         TqvImap4MessageList& AMessages, const std::string& AMailBox,
                                         bool& Success) {
  std::shared_lock lock(FLock);
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox);
  if (!folder.Exists()) return;
  const TFolderIndexPtr index = FolderIndex(folder.Path);
  std::unique_lock folderLock(index->Lock);
  TqvImap4MailBoxItem settings;
  LoadSettings(*index, folder.Path, settings, false);
  TqvImap4MessageList& entries = Entries(*index, folder.Path);
  TUidGiver uids(entries, settings.UIDNext, index->MaxEntryUid());
  (void)ListMessages(*index, folder.Path);
  // Entries of files that have gone are dropped by writing the file anew;
  // the same entries again leave it alone.
  bool changed = !index->EntriesAllListed();
  try {
    for (int i = 0; i < AMessages.Count(); ++i)
      if (UpdateEntry(*index, folder.Path, AMessages, i, uids)) changed = true;
    // UIDNext on disk is never below a UID given out: it goes first.
    if (uids.Next() > settings.UIDNext) {
      settings.UIDNext = uids.Next();
      SaveSettings(*index, folder.Path, settings);
    }
    if (changed) SaveEntries(folderLock, *index, folder.Path);
  } catch (...) {
    // The index no longer says what the file holds.
    index->Forget();
    throw;
  }
  Success = true;
}

bool TqvImap4FileHandler::UpdateEntry(TFolderIndex& AIndex, const std::string& AFolder,
                                      TqvImap4MessageList& AMessages, int AItem, TUidGiver& AUids) const {
  const TqvImap4MessageItem* item = AMessages.Peek(AItem);
  // A record of the current snapshot, unchanged, says what is stored.
  if (AIndex.InCurrentSnapshot(item)) return false;
  const std::string_view name = FileNameIn(AFolder, item->Name);
  const TDateTime* listedDate = AIndex.ListedDate(name);
  if (!listedDate) return false;
  bool entryChanged = false;
  TqvImap4MessageItem* entry = AIndex.EntryFor(name, entryChanged);
  if (entry->UID < 0 && item->UID >= 0) {
    AUids.Give(*entry, item->UID);
    entryChanged = true;
  }
  const TqvMailMessageFlags flags = MergedFlags(*item, entry->Flags);
  if (entry->Flags != flags) {
    entry->Flags = flags;
    entryChanged = true;
  }
  // The session sees the UID and flags the store keeps.
  if (item->UID != entry->UID || item->Flags != entry->Flags || item->StoredFlags != entry->Flags) {
    TqvImap4MessageItem* own = AMessages.Items(AItem);
    own->UID = entry->UID;
    own->Flags = entry->Flags;
    own->StoredFlags = entry->Flags;
    item = own;
  }
  if (entryChanged) ++AIndex.FieldsVersion;
  if (item->Date != *listedDate) {
    (void)SetExistingFileDateTime(item->Name, item->Date);
    // The date as the file now gives it; the sorted listing is made anew.
    AIndex.Files.find(name)->second.Date = GetFileDateTime(item->Name);
    AIndex.ForgetListing();
  }
  return entryChanged;
}

void TqvImap4FileHandler::DeleteMessage(TObject*, TqvImap4CommandConnection* AConnection,
                                        TqvImap4MessageItem& AMessage, const std::string& AMailBox, bool& Success) {
  std::shared_lock lock(FLock);
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox);
  // Only a message file of this mailbox's own folder.
  const std::string& path = AMessage.Name;
  Success = false;
  if (!folder.Exists() || path.size() <= folder.Path.size() || path.rfind(folder.Path, 0) != 0 ||
      path.find('/', folder.Path.size()) != std::string::npos)
    return;
  const TFolderIndexPtr index = FolderIndex(folder.Path);
  std::scoped_lock folderLock(index->Lock);
  // A later file of this name is another message, whatever its inode.
  index->Files.erase(path.substr(folder.Path.size()));
  index->ForgetListing();
  Success = IsRegularFile(path) && ::unlink(path.c_str()) == 0;
}

void TqvImap4FileHandler::GetMessageSource(TObject*, TqvImap4CommandConnection* AConnection,
                                           TStrings& AMessageSource, const std::string& AMessageName,
                                           const std::string& AMailBox, bool& Success) {
  // Message files are never changed in place: reading one needs no lock of
  // its folder.
  std::shared_lock lock(FLock);
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox);
  Success = false;
  if (!folder.Exists() || AMessageName.size() <= folder.Path.size() || AMessageName.rfind(folder.Path, 0) != 0 ||
      AMessageName.find('/', folder.Path.size()) != std::string::npos || !IsRegularFile(AMessageName))
    return;
  try {
    LoadMailFile(AMessageName, AMessageSource);
    Success = true;
  } catch (const EStreamError&) {
    AMessageSource.Clear();
  }
}

void TqvImap4FileHandler::AppendMessage(TObject*, TqvImap4CommandConnection* AConnection,
                                        TqvMailMessageFlags AFlags, TDateTime ADate,
                                        const TStrings& AMessageSource, const std::string& AMailBox,
                                        bool& Success) {
  AppendStaged(
      AConnection, AFlags, ADate,
      [&](const std::string& AFolder) { return std::make_unique<TqvStagedFile>(AFolder, AMessageSource); }, AMailBox,
      Success);
}

void TqvImap4FileHandler::CreateSpool(TObject*, TqvImap4CommandConnection* AConnection, const std::string& AMailBox,
                                      std::unique_ptr<TqvMessageSpool>& ASpool) {
  std::shared_lock lock(FLock);
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox);
  if (!folder.Exists()) return;
  try {
    ASpool = std::make_unique<TqvMessageSpool>(OpenStoreFolder(folder.Path, false), std::string());
  } catch (const std::exception& e) {
    ASpool.reset();
    DoStoreError(e);
  }
}

void TqvImap4FileHandler::AppendSpooledMessage(TObject*, TqvImap4CommandConnection* AConnection,
                                               TqvMailMessageFlags AFlags, TDateTime ADate, TqvMessageSpool& ASpool,
                                               const std::string& AMailBox, bool& Success) {
  ASpool.CopyPrefix.clear();
  AppendStaged(
      AConnection, AFlags, ADate,
      [&](const std::string& AFolder) { return ASpool.StageCopy(OpenStoreFolder(AFolder, false)); }, AMailBox,
      Success);
}

void TqvImap4FileHandler::AppendStaged(TqvImap4CommandConnection* AConnection, TqvMailMessageFlags AFlags,
                                       TDateTime ADate, const TStageMessage& AStage, const std::string& AMailBox,
                                       bool& Success) {
  std::shared_lock lock(FLock);
  Success = false;
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox);
  if (!folder.Exists()) return;
  const TFolderIndexPtr index = FolderIndex(folder.Path);
  std::unique_lock folderLock(index->Lock);
  TqvImap4MailBoxItem settings;
  settings.Name = AMailBox;
  LoadSettings(*index, folder.Path, settings, false);

  // Written aside first, then linked to the first free number: never over
  // a message the SMTP store placed meanwhile, never seen half-written.
  std::unique_ptr<TqvStagedFile> staged;
  try {
    staged = AStage(folder.Path);
  } catch (const EOSError&) {
    throw EStreamError("Cannot save new message");
  }
  const auto place = [&](const std::string& APath) {
    try {
      return staged->PlaceAs(APath);
    } catch (const EOSError&) {
      return false;
    }
  };
  int counted = 0;
  if (OnNewMessageNumber) OnNewMessageNumber(this, counted);
  std::string path;
  if (counted > 0) {
    // A number no store has used: its name, or the same with a retry digit
    // when a file was put there by other means.
    for (int retry = -1;; ++retry) {
      if (retry >= kAppendRetries) throw EStreamError("Cannot save new message");
      path = NumberedName(folder.Path, counted, retry) + ".MSG";
      if (place(path)) break;
    }
    SyncFolder(folder.Path);
  } else {
    int64_t number = settings.LastMessageNumber;
    for (int tries = 0;; ++tries) {
      if (tries > kAppendRetries) throw EStreamError("Cannot save new message");
      path = NumberedName(folder.Path, ++number, -1) + ".MSG";
      if (place(path)) break;
    }
    SyncFolder(folder.Path);
    settings.LastMessageNumber = number;
  }

  int64_t uid = -1;
  try {
    TqvImap4MessageList& entries = Entries(*index, folder.Path);
    // The message's UID, above every one given; UIDNext on disk covers it
    // before the entry that names it is written. It is \Recent until a
    // selection takes that, as a message numbered there would be.
    uid = std::max<int64_t>(settings.UIDNext, 1);
    for (int i = 0; i < entries.Count(); ++i) uid = std::max(uid, entries.Peek(i)->UID + 1);
    // An entry left by an earlier file of this name is not this message's.
    const std::string name = path.substr(folder.Path.size());
    if (const int stale = entries.IndexOf(name); stale >= 0) entries.Delete(stale);
    settings.UIDNext = uid + 1;
    SaveSettings(*index, folder.Path, settings);
    const TqvMailMessageFlags recent =
        AConnection && AConnection->AppendTakesRecent ? TqvMailMessageFlags{} : MessageFlag(mfRecent);
    entries.Add(name, uid, static_cast<TqvMailMessageFlags>(AFlags | recent), Now());
    index->IndexEntries();
    (void)SetExistingFileDateTime(path, ADate);
    index->Files.erase(path.substr(folder.Path.size()));
    index->ForgetListing();
    (void)ListMessages(*index, folder.Path);
    SaveEntries(folderLock, *index, folder.Path);
  } catch (...) {
    index->Forget();
    throw;
  }
  if (AConnection) AConnection->AppendedUid = uid;
  Success = true;
}
