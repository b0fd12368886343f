// The folder index of the IMAP4 file store: the state files of a mailbox
// folder read and written through its index, the folder's listing, and the
// watch that tells when a listing is stale.
#include "qvImap4FolderIndex.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include "AsciiText.h"
#include "Decimal.h"
#include "FileOps.h"
#include "Streams.h"
#include "qvMailBoxFiles.h"
#include "qvMailStoreUtils.h"
#include "qvFileUtils.h"
#include "qvTextSplit.h"

using qvimap4store::IsRegularFile;
using qvimap4store::kUidValidityFile;
using qvimap4store::TFileKey;

namespace {

// Reading a state file stops here: a larger one is not ours.
constexpr int64_t kMaxStateFileBytes = 64 * 1024 * 1024;
// Folder indexes kept beyond this many are dropped unless in use.
constexpr size_t kMaxFolderIndexes = 64;
constexpr uint64_t kMaxUidValidity = 0xFFFFFFFFu;

// The decimal number at the start of AText; 0 for none or one above 32 bits.
uint64_t ValidityOf(std::string_view AText) {
  const std::optional<uint64_t> n = plat::ParseDecimal<uint64_t>(plat::DecimalPrefix(AText));
  return n && *n <= kMaxUidValidity ? *n : 0;
}

std::string ReadStateFile(const std::string& APath) {
  TFileStream file(APath, fmOpenRead | fmShareDenyWrite);
  const int64_t size = file.Size();
  if (size > kMaxStateFileBytes) throw EReadError();
  std::string bytes(static_cast<size_t>(size), '\0');
  file.ReadBuffer(bytes.data(), size);
  return bytes;
}

// Replaces AFolder + AName whole: readers see the old file or the new one.
void ReplaceStateFile(const std::string& AFolder, const std::string& AName, const std::string& ABytes) {
  TqvStagedFile staged(AFolder, ABytes);
  staged.ReplaceAs(AFolder + AName);
  SyncFolder(AFolder);
}

int64_t Nanoseconds(const timespec& ATime) {
  return static_cast<int64_t>(ATime.tv_sec) * 1000000000 + ATime.tv_nsec;
}

// The key of a regular file; Size -1 when there is none.
TFileKey KeyOf(const std::string& APath) {
  struct stat st {};
  if (::lstat(APath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return {st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

// What tells one message file's bytes from another's: device, inode, size
// and both times, mixed into a non-zero number. A file made in place of a
// removed one (a mailbox deleted and made again) may get the old inode, but
// not its size and times as well.
uint64_t ContentKeyOf(const struct stat& AStat) {
  uint64_t key = 0xcbf29ce484222325ull;
  for (const uint64_t part : {static_cast<uint64_t>(AStat.st_dev), static_cast<uint64_t>(AStat.st_ino),
                              static_cast<uint64_t>(AStat.st_size), static_cast<uint64_t>(Nanoseconds(AStat.st_mtim)),
                              static_cast<uint64_t>(Nanoseconds(AStat.st_ctim))}) {
    key ^= part;
    key *= 0x100000001b3ull;
    key ^= key >> 29;
  }
  return key == 0 ? 1 : key;
}

int64_t WallClockNs() {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

// Entries are kept by the message file's name within its folder, so that
// moving or renaming the folder keeps every UID and flag. Files written
// before named the full path (with "/" or "\\"): such an entry is read by
// its last part. Of two entries for one name, the one whose path is the
// folder's own wins, else the first with a UID.
void KeyEntriesByFileName(TqvImap4MessageList& AEntries, const std::string& AFolder) {
  struct TKept {
    int Index;
    bool Own;
  };
  std::unordered_map<std::string, TKept> seen;
  std::vector<int> dropped;
  for (int i = 0; i < AEntries.Count(); ++i) {
    TqvImap4MessageItem* entry = AEntries.Items(i);
    const size_t slash = entry->Name.find_last_of("/\\");
    const bool own = slash == std::string::npos || entry->Name.compare(0, slash + 1, AFolder) == 0;
    if (slash != std::string::npos) entry->Name.erase(0, slash + 1);
    const auto [at, fresh] = seen.emplace(entry->Name, TKept{i, own});
    if (fresh) continue;
    const TqvImap4MessageItem* kept = AEntries.Peek(at->second.Index);
    if (!at->second.Own && (own || (kept->UID < 0 && entry->UID >= 0))) {
      dropped.push_back(at->second.Index);
      at->second = {i, own};
    } else {
      dropped.push_back(i);
    }
  }
  std::sort(dropped.begin(), dropped.end());
  for (auto it = dropped.rbegin(); it != dropped.rend(); ++it) AEntries.Delete(*it);
}

bool IsMessageFileName(const char* AName) {
  return plat::AsciiEndsWith(AName, ".msg");
}

}  // namespace

// ---- the folder watch

bool TqvImap4FileHandler::TFolderWatch::Generation(const std::string& AFolder, int& AWatch, uint64_t& AGeneration) {
  std::scoped_lock lock(FLock);
  if (!FTried) {
    FTried = true;
    FFd = plat::UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  }
  if (!FFd) return false;
  Drain();
  if (AWatch >= 0 && FGone.count(AWatch)) ReleaseLocked(std::exchange(AWatch, -1));
  if (AWatch < 0) {
    const int watch = ::inotify_add_watch(FFd.Get(), AFolder.c_str(), kEvents);
    if (watch < 0) return false;
    FGone.erase(watch);
    ++FUsers[watch];
    AWatch = watch;
  }
  AGeneration = FGeneration;
  return true;
}

void TqvImap4FileHandler::TFolderWatch::Release(int AWatch) {
  std::scoped_lock lock(FLock);
  ReleaseLocked(AWatch);
}

void TqvImap4FileHandler::TFolderWatch::ReleaseLocked(int AWatch) {
  const auto users = FUsers.find(AWatch);
  if (users == FUsers.end() || --users->second > 0) return;
  FUsers.erase(users);
  if (!FGone.erase(AWatch)) (void)::inotify_rm_watch(FFd.Get(), AWatch);
}

void TqvImap4FileHandler::TFolderWatch::Drain() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(FFd.Get(), buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->mask & IN_IGNORED) FGone.insert(e->wd);
      if ((e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) || e->len == 0 ||
          IsMessageFileName(e->name))
        ++FGeneration;
    }
  }
}

// ---- the folder index

TqvImap4FileHandler::TFolderIndexPtr TqvImap4FileHandler::FolderIndex(const std::string& AFolder) {
  std::scoped_lock lock(FIndexLock);
  TFolderIndexPtr& index = FIndexes[AFolder];
  if (!index) {
    if (FIndexes.size() > kMaxFolderIndexes) {
      // Folders no session is working in go first.
      for (auto it = FIndexes.begin(); it != FIndexes.end();) {
        if (!it->second || it->second.use_count() > 1) {
          ++it;
          continue;
        }
        if (it->second->Watch >= 0) FWatch->Release(it->second->Watch);
        it = FIndexes.erase(it);
      }
    }
    index = std::make_shared<TFolderIndex>();
  }
  return index;
}

void TqvImap4FileHandler::ForgetFolderIndexes() {
  std::scoped_lock lock(FIndexLock);
  for (const auto& [path, index] : FIndexes)
    if (index->Watch >= 0) FWatch->Release(index->Watch);
  FIndexes.clear();
}

int64_t TqvImap4FileHandler::TFolderIndex::MaxEntryUid() {
  if (MaxUidVersions != std::pair{EntriesVersion, FieldsVersion}) {
    MaxUid = -1;
    for (int i = 0; i < Entries.Count(); ++i) MaxUid = std::max(MaxUid, Entries.Peek(i)->UID);
    MaxUidVersions = {EntriesVersion, FieldsVersion};
  }
  return MaxUid;
}

bool TqvImap4FileHandler::TFolderIndex::EntriesAllListed() {
  if (AllListedVersions != std::pair{EntriesVersion, ListingVersion}) {
    AllListed = true;
    for (int i = 0; i < Entries.Count() && AllListed; ++i) AllListed = ListedDate(Entries.Items(i)->Name);
    AllListedVersions = {EntriesVersion, ListingVersion};
  }
  return AllListed;
}

TqvImap4MessageItem* TqvImap4FileHandler::TFolderIndex::EntryFor(std::string_view AName, bool& AAdded) {
  if (const auto found = ByName.find(std::string(AName)); found != ByName.end()) return found->second;
  TqvImap4MessageItem* entry = Entries.Add(std::string(AName), -1, 0, Now());
  ByName.emplace(entry->Name, entry);
  // Its file is listed: what was known of the others still holds.
  const bool allListed = AllListed && AllListedVersions == std::pair{EntriesVersion, ListingVersion};
  ++EntriesVersion;
  if (allListed) AllListedVersions = {EntriesVersion, ListingVersion};
  AAdded = true;
  return entry;
}

TqvImap4MessageList& TqvImap4FileHandler::Entries(TFolderIndex& AIndex, const std::string& AFolder) const {
  const std::string path = AFolder + FMessagesInfoFile;
  const TFileKey key = KeyOf(path);
  if (AIndex.EntriesValid &&
      (AIndex.Writing || AIndex.Written < AIndex.Changed || (key == AIndex.EntriesKey && AIndex.EntriesSettled)))
    return AIndex.Entries;
  AIndex.EntriesValid = false;
  const int64_t readAt = WallClockNs();
  AIndex.Entries.Clear();
  AIndex.ByName.clear();
  if (key.Size >= 0) {
    TStringStream data(ReadStateFile(path));
    TqvImap4MessageStore(AIndex.Entries).LoadFromStream(data);
    KeyEntriesByFileName(AIndex.Entries, AFolder);
  }
  AIndex.IndexEntries();
  AIndex.EntriesKey = key;
  AIndex.EntriesSettled = key.Size < 0 || readAt - key.MTimeNs > TFolderIndex::kSettleNs;
  AIndex.EntriesValid = true;
  AIndex.Written = AIndex.Changed;
  return AIndex.Entries;
}

const std::vector<TqvImap4FileHandler::TListedMessage>& TqvImap4FileHandler::ListMessages(
    TFolderIndex& AIndex, const std::string& AFolder) {
  uint64_t generation = 0;
  const bool watched = FWatch->Generation(AFolder, AIndex.Watch, generation);
  if (watched && AIndex.ListedGeneration == generation) return AIndex.Listed;
  plat::UniqueFd dirFd(::open(AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  plat::TDirStream dir(dirFd ? dirFd.Get() : -1);
  if (!dir.Valid()) {
    AIndex.Files.clear();
    AIndex.Listed.clear();
    ++AIndex.ListingVersion;
    AIndex.ForgetListing();
    return AIndex.Listed;
  }
  // The names and inodes as read; the same as last time gives the same list.
  std::string raw;
  raw.reserve(AIndex.Raw.size());
  bool typed = true;
  while (const dirent* e = dir.Next()) {
    if (!IsMessageFileName(e->d_name)) continue;
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
    typed = typed && e->d_type == DT_REG;
    raw.append(reinterpret_cast<const char*>(&e->d_ino), sizeof e->d_ino);
    raw.append(e->d_name, std::strlen(e->d_name) + 1);
  }
  if (typed && raw == AIndex.Raw) {
    AIndex.ListedGeneration = watched ? generation : 0;
    return AIndex.Listed;
  }
  decltype(AIndex.Files) files;
  files.reserve(AIndex.Files.size() + 16);
  std::vector<TListedMessage> listed;
  for (size_t at = 0; at < raw.size();) {
    ino_t ino = 0;
    std::memcpy(&ino, raw.data() + at, sizeof ino);
    at += sizeof ino;
    std::string name(raw.data() + at);
    at += name.size() + 1;
    TFolderIndex::TFile file;
    const auto known = AIndex.Files.find(name);
    if (known != AIndex.Files.end() && known->second.Ino == ino) {
      file = known->second;
    } else {
      // New here, or another file under a known name; links and folders
      // whose entry gave no type are left out here.
      struct stat st {};
      if (::fstatat(dirFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
      file.Ino = st.st_ino;
      file.ContentKey = ContentKeyOf(st);
      file.Date = GetFileDateTime(AFolder + name);
    }
    listed.push_back({name, file.Date, file.Ino, file.ContentKey});
    files.emplace(std::move(name), file);
  }
  std::sort(listed.begin(), listed.end(),
            [](const TListedMessage& a, const TListedMessage& b) { return MailFileNameLess(a.Name, b.Name); });
  AIndex.Files = std::move(files);
  AIndex.Listed = std::move(listed);
  ++AIndex.ListingVersion;
  // An entry without a type is looked at again next time.
  AIndex.Raw = typed ? std::move(raw) : std::string();
  AIndex.ListedGeneration = watched && typed ? generation : 0;
  return AIndex.Listed;
}

void TqvImap4FileHandler::SaveEntries(std::unique_lock<std::mutex>& ALock, TFolderIndex& AIndex,
                                      const std::string& AFolder) const {
  const uint64_t change = ++AIndex.Changed;
  for (;;) {
    if (AIndex.Lost >= change) throw EStreamError("Cannot save messages");
    if (AIndex.Written >= change) return;
    if (!AIndex.Writing) break;
    AIndex.WriteDone.wait(ALock);
  }
  // Entries of files that have gone would only grow the file, and a later
  // file of the same name would inherit their UID and flags.
  TqvImap4MessageList& entries = AIndex.Entries;
  bool dropped = false;
  const bool allListed =
      AIndex.AllListed && AIndex.AllListedVersions == std::pair{AIndex.EntriesVersion, AIndex.ListingVersion};
  for (int i = allListed ? -1 : entries.Count() - 1; i >= 0; --i) {
    const std::string& name = entries.Items(i)->Name;
    if (AIndex.Files.count(name)) continue;
    AIndex.ByName.erase(name);
    entries.Delete(i);
    dropped = true;
  }
  TStringStream data;
  TqvImap4MessageStore(entries).SaveToStream(data);
  const uint64_t upTo = AIndex.Changed;
  AIndex.Writing = true;
  ALock.unlock();
  try {
    ReplaceStateFile(AFolder, FMessagesInfoFile, data.DataString());
  } catch (...) {
    ALock.lock();
    AIndex.Writing = false;
    AIndex.Forget();
    throw;
  }
  ALock.lock();
  AIndex.Writing = false;
  AIndex.Written = upTo;
  AIndex.WriteDone.notify_all();
  // Changes made while the file was written wait for the next write; what
  // follows holds only for entries that are what was written.
  if (AIndex.Changed != upTo || !AIndex.EntriesValid) return;
  // The index holds what a fresh read of the file gives: its entries in file
  // order, each put in its place by UID, names through the value stream's
  // conversions. Entries in UID order with plain names read back as they are.
  bool same = true;
  int64_t last = -1;
  bool unnumbered = false;
  for (int i = 0; i < entries.Count() && same; ++i) {
    const TqvImap4MessageItem& e = *entries.Items(i);
    if (e.UID < 0)
      unnumbered = true;
    else
      same = !unnumbered && e.UID > last;
    last = std::max(last, e.UID);
    for (const char c : e.Name) same = same && static_cast<unsigned char>(c) < 0x80;
  }
  if (!same) {
    data.SetPosition(0);
    TqvImap4MessageStore(entries).LoadFromStream(data);
    AIndex.IndexEntries();
  } else if (dropped) {
    ++AIndex.EntriesVersion;
  }
  AIndex.AllListed = true;
  AIndex.AllListedVersions = {AIndex.EntriesVersion, AIndex.ListingVersion};
  AIndex.EntriesKey = KeyOf(AFolder + FMessagesInfoFile);
  // Only this store writes the file: what it wrote is what is there.
  AIndex.EntriesSettled = true;
  AIndex.EntriesValid = true;
}

// ---- settings

void TqvImap4FileHandler::LoadSettings(TFolderIndex& AIndex, const std::string& AFolder, TqvImap4MailBoxItem& AItem,
                                       bool ASubscribed) const {
  const std::string path = AFolder + FMailBoxInfoFile;
  const TFileKey key = KeyOf(path);
  if (key.Size >= 0) {
    if (!AIndex.SettingsValid || !(key == AIndex.SettingsKey) || !AIndex.SettingsSettled) {
      AIndex.SettingsValid = false;
      const int64_t readAt = WallClockNs();
      TStringStream data(ReadStateFile(path));
      TqvImap4MailBoxStore(AIndex.Settings).LoadFromStream(data);
      AIndex.SettingsKey = key;
      AIndex.SettingsSettled = readAt - key.MTimeNs > TFolderIndex::kSettleNs;
      AIndex.SettingsValid = true;
    }
    // What a read of the file sets.
    AItem.Subscribed = AIndex.Settings.Subscribed;
    AItem.UIDNext = AIndex.Settings.UIDNext;
    AItem.UIDValidity = AIndex.Settings.UIDValidity;
    AItem.LastMessageNumber = AIndex.Settings.LastMessageNumber;
    return;
  }
  AItem.Subscribed = ASubscribed;
  AItem.UIDNext = 1;
  AItem.UIDValidity = NewUIDValidity(AFolder);
  AItem.LastMessageNumber = 0;
  SaveSettings(AIndex, AFolder, AItem);
}

std::string TqvImap4FileHandler::NewUIDValidity(const std::string& AFolder) const {
  // Kept per account: the account folder, or the shared root for shared
  // mailboxes.
  std::string root = AFolder;
  const std::string mailbox = FMailBoxDir.empty() ? std::string() : AddTrailingChar(FMailBoxDir, '/');
  const std::string shared = FSharedFolders.empty() ? std::string() : AddTrailingChar(FSharedFolders, '/');
  if (!mailbox.empty() && AFolder.size() > mailbox.size() && AFolder.compare(0, mailbox.size(), mailbox) == 0) {
    const size_t end = AFolder.find('/', mailbox.size());
    if (end != std::string::npos) root = AFolder.substr(0, end + 1);
  } else if (!shared.empty() && AFolder.compare(0, shared.size(), shared) == 0) {
    root = shared;
  }
  std::scoped_lock lock(FValidityLock);
  uint64_t last = 0;
  try {
    if (IsRegularFile(root + kUidValidityFile)) last = ValidityOf(ReadStateFile(root + kUidValidityFile));
  } catch (const std::exception&) {
    last = 0;
  }
  // Never one given before: above the last one, and above the time in
  // seconds so that a lost file still gives a new one. Non-zero, 32 bits.
  uint64_t validity = std::max<uint64_t>(static_cast<uint64_t>(std::time(nullptr)) & kMaxUidValidity, last + 1);
  if (validity > kMaxUidValidity) validity = 1;
  const std::string text = std::to_string(validity);
  ReplaceStateFile(root, kUidValidityFile, text + "\r\n");
  return text;
}

void TqvImap4FileHandler::LoadSettingsLocked(const std::string& AFolder, TqvImap4MailBoxItem& AItem,
                                             bool ASubscribed) {
  const TFolderIndexPtr index = FolderIndex(AFolder);
  std::scoped_lock lock(index->Lock);
  LoadSettings(*index, AFolder, AItem, ASubscribed);
}

void TqvImap4FileHandler::SaveSettings(TFolderIndex& AIndex, const std::string& AFolder,
                                       const TqvImap4MailBoxItem& AItem) const {
  TqvImap4MailBoxItem copy = AItem;
  TStringStream data;
  TqvImap4MailBoxStore(copy).SaveToStream(data);
  AIndex.SettingsValid = false;
  ReplaceStateFile(AFolder, FMailBoxInfoFile, data.DataString());
  // Kept as a read of what was written gives it.
  data.SetPosition(0);
  TqvImap4MailBoxStore(AIndex.Settings).LoadFromStream(data);
  AIndex.SettingsKey = KeyOf(AFolder + FMailBoxInfoFile);
  AIndex.SettingsSettled = true;
  AIndex.SettingsValid = true;
}
