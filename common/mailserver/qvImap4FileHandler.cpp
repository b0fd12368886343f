#include "qvImap4FileHandler.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "CodePage.h"
#include "ProgramPath.h"
#include "UniqueFd.h"
#include "ValueStream.h"
#include "qvMailBoxFiles.h"
#include "qvMailServerLimits.h"
#include "qvMailStoreUtils.h"
#include "qvMessageSpool.h"
#include "qvFileUtils.h"
#include "qvTextSplit.h"

namespace {

// Reading a state file stops here: a larger one is not ours.
constexpr int64_t kMaxStateFileBytes = 64 * 1024 * 1024;
// Names tried after the first when a new message's number is taken.
constexpr int kAppendRetries = 1000;
// Folder indexes kept beyond this many are dropped unless in use.
constexpr size_t kMaxFolderIndexes = 64;
// User names whose folder names are kept; all are forgotten beyond this.
constexpr size_t kMaxFolderNames = 4096;

std::string UpperAscii(std::string AText) {
  for (char& c : AText)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return AText;
}

bool IsInbox(const std::string& AName) { return UpperAscii(AName) == "INBOX"; }

// Names of the files the store keeps beside the messages of a folder: no
// mailbox level may take one (ASCII case ignored).
bool IsStateFileName(const std::string& ALevel, const std::string& AMailBoxInfo, const std::string& AMessagesInfo);

std::string WithoutTrailingSlash(std::string APath) {
  while (APath.size() > 1 && APath.back() == '/') APath.pop_back();
  return APath;
}

enum class TEntryKind { Missing, Folder, Other };

TEntryKind KindOf(const std::string& APath) {
  struct stat st {};
  if (::lstat(WithoutTrailingSlash(APath).c_str(), &st) != 0) return TEntryKind::Missing;
  return S_ISDIR(st.st_mode) ? TEntryKind::Folder : TEntryKind::Other;
}

bool IsRegularFile(const std::string& APath) {
  struct stat st {};
  return ::lstat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// "Missing" when the first absent level comes before any link or file;
// "Other" when a level is a link or a file.
TEntryKind KindOfLevels(const std::string& ARoot, const std::vector<std::string>& ALevels) {
  std::string path = ARoot;
  for (const std::string& level : ALevels) {
    path += level + "/";
    const TEntryKind kind = KindOf(path);
    if (kind != TEntryKind::Folder) return kind;
  }
  return TEntryKind::Folder;
}

std::string MessageFileName(int64_t ANumber) {
  char name[48];
  std::snprintf(name, sizeof name, "MAIL%.8lld.MSG", static_cast<long long>(ANumber));
  return name;
}

// The file in an account folder (or the shared root) that keeps the last
// UIDVALIDITY given to one of its mailboxes, as decimal text.
constexpr char kUidValidityFile[] = "uidvalidity.dat";
constexpr uint64_t kMaxUidValidity = 0xFFFFFFFFu;

bool IsStateFileName(const std::string& ALevel, const std::string& AMailBoxInfo, const std::string& AMessagesInfo) {
  const std::string level = UpperAscii(ALevel);
  return level == UpperAscii(AMailBoxInfo) || level == UpperAscii(AMessagesInfo) ||
         level == UpperAscii(kUidValidityFile);
}

// The decimal number at the start of AText; 0 for none or one above 32 bits.
uint64_t ValidityOf(std::string_view AText) {
  uint64_t n = 0;
  size_t i = 0;
  for (; i < AText.size() && AText[i] >= '0' && AText[i] <= '9'; ++i) {
    n = n * 10 + static_cast<uint64_t>(AText[i] - '0');
    if (n > kMaxUidValidity) return 0;
  }
  return i == 0 ? 0 : n;
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

}  // namespace

// ---- state files

void TqvImap4MailBoxStore::LoadFromStream(TStream& AStream) {
  plat::TValueReader reader(AStream);
  if (reader.ReadInteger() != GetVersion()) throw EStreamError("Cannot load mailbox settings");
  FMailBox.Subscribed = reader.ReadBoolean();
  FMailBox.UIDNext = reader.ReadInteger();
  FMailBox.UIDValidity = reader.ReadString();
  FMailBox.LastMessageNumber = std::max<int64_t>(reader.ReadInteger(), 0);
}

void TqvImap4MailBoxStore::SaveToStream(TStream& AStream) {
  plat::TValueWriter writer(AStream);
  writer.WriteInteger(GetVersion());
  writer.WriteBoolean(FMailBox.Subscribed);
  writer.WriteInteger(FMailBox.UIDNext);
  writer.WriteString(FMailBox.UIDValidity);
  writer.WriteInteger(std::max<int64_t>(FMailBox.LastMessageNumber, 0));
}

void TqvImap4MessageStore::LoadFromStream(TStream& AStream) {
  plat::TValueReader reader(AStream);
  if (reader.ReadInteger() != GetVersion()) throw EStreamError("Cannot load messages");
  FMessages.Clear();
  const int64_t count = reader.ReadInteger();
  for (int64_t i = 0; i < count; ++i) {
    std::string path = reader.ReadString();
    const int64_t uid = reader.ReadInteger();
    const TqvMailMessageFlags flags = ParseImapMessageFlags(UpperAscii(reader.ReadString()));
    const TDateTime stamp = reader.ReadFloat();
    FMessages.Add(path, uid < 0 ? -1 : uid, flags, stamp);
  }
}

void TqvImap4MessageStore::SaveToStream(TStream& AStream) {
  plat::TValueWriter writer(AStream);
  writer.WriteInteger(GetVersion());
  writer.WriteInteger(FMessages.Count());
  for (int i = 0; i < FMessages.Count(); ++i) {
    const TqvImap4MessageItem& m = *FMessages.Items(i);
    writer.WriteString(m.Name);
    writer.WriteInteger(m.UID);
    writer.WriteString(GetImapMessageFlags(m.Flags));
    writer.WriteFloat(m.Date);
  }
}

// ---- the component

struct TqvImap4FileHandler::TMailBoxFolder {
  std::string Path;  // ends in "/"; "" when the name has no folder
  bool Protected = false;
  TEntryKind Kind = TEntryKind::Missing;
  [[nodiscard]] bool Exists() const { return !Path.empty() && Kind == TEntryKind::Folder; }
};

TqvImap4FileHandler::TqvImap4FileHandler(TComponent* AOwner)
    : TqvServerStore(AOwner), FWatch(std::make_unique<TFolderWatch>()) {}

TqvImap4FileHandler::~TqvImap4FileHandler() { SetServer(nullptr); }

#define VX_STORE_PROPERTY(Name, Field)                            \
  std::string TqvImap4FileHandler::Name() const {                 \
    std::shared_lock lock(FLock);                                 \
    return Field;                                                 \
  }                                                               \
  void TqvImap4FileHandler::Set##Name(const std::string& Value) { \
    std::unique_lock lock(FLock);                                 \
    Field = Value;                                                \
    ForgetFolderIndexes();                                        \
  }
VX_STORE_PROPERTY(MailBoxDir, FMailBoxDir)
VX_STORE_PROPERTY(MailBoxInfoFile, FMailBoxInfoFile)
VX_STORE_PROPERTY(MessagesInfoFile, FMessagesInfoFile)
VX_STORE_PROPERTY(SharedFolders, FSharedFolders)
#undef VX_STORE_PROPERTY

void TqvImap4FileHandler::Bind() {
  using namespace std::placeholders;
  FServer->OnGetMailBoxes = std::bind(&TqvImap4FileHandler::GetMailBoxes, this, _1, _2, _3, _4);
  FServer->OnUpdateMailBox = std::bind(&TqvImap4FileHandler::UpdateMailBox, this, _1, _2, _3, _4);
  FServer->OnCreateMailBox = std::bind(&TqvImap4FileHandler::CreateMailBox, this, _1, _2, _3, _4);
  FServer->OnDeleteMailBox = std::bind(&TqvImap4FileHandler::DeleteMailBox, this, _1, _2, _3, _4);
  FServer->OnRenameMailBox = std::bind(&TqvImap4FileHandler::RenameMailBox, this, _1, _2, _3, _4, _5);
  FServer->OnGetMessages = std::bind(&TqvImap4FileHandler::GetMessages, this, _1, _2, _3, _4, _5);
  FServer->OnUpdateMessages = std::bind(&TqvImap4FileHandler::UpdateMessages, this, _1, _2, _3, _4, _5);
  FServer->OnDeleteMessage = std::bind(&TqvImap4FileHandler::DeleteMessage, this, _1, _2, _3, _4, _5);
  FServer->OnGetMessageSource = std::bind(&TqvImap4FileHandler::GetMessageSource, this, _1, _2, _3, _4, _5, _6);
  FServer->OnAppendMessage = std::bind(&TqvImap4FileHandler::AppendMessage, this, _1, _2, _3, _4, _5, _6, _7);
  FServer->OnCreateSpool = std::bind(&TqvImap4FileHandler::CreateSpool, this, _1, _2, _3, _4);
  FServer->OnAppendSpooledMessage =
      std::bind(&TqvImap4FileHandler::AppendSpooledMessage, this, _1, _2, _3, _4, _5, _6, _7);
}

void TqvImap4FileHandler::Unbind() {
  FServer->OnGetMailBoxes = nullptr;
  FServer->OnUpdateMailBox = nullptr;
  FServer->OnCreateMailBox = nullptr;
  FServer->OnDeleteMailBox = nullptr;
  FServer->OnRenameMailBox = nullptr;
  FServer->OnGetMessages = nullptr;
  FServer->OnUpdateMessages = nullptr;
  FServer->OnDeleteMessage = nullptr;
  FServer->OnGetMessageSource = nullptr;
  FServer->OnAppendMessage = nullptr;
  FServer->OnCreateSpool = nullptr;
  FServer->OnAppendSpooledMessage = nullptr;
}

std::string TqvImap4FileHandler::ConnectionUserName(TqvImap4CommandConnection* AConnection) const {
  return AConnection ? AConnection->UserName() : std::string();
}

void TqvImap4FileHandler::DoStoreError(const std::exception& E) {
  if (OnStoreError) OnStoreError(this, E);
}

// ---- names and folders

char TqvImap4FileHandler::Separator() const { return FServer ? FServer->MailBoxSeparator() : '/'; }

std::string TqvImap4FileHandler::UserFolder(TqvImap4CommandConnection* AConnection) const {
  // No MailBoxDir is no store (it would be the root), and an unsafe or empty
  // user name has no folder (it would be MailBoxDir itself or outside it).
  if (FMailBoxDir.empty()) return {};
  const std::string name = FolderNameOf(ConnectionUserName(AConnection));
  if (name.empty()) return {};
  return AddTrailingChar(FMailBoxDir, '/') + name + "/";
}

std::string TqvImap4FileHandler::FolderNameOf(const std::string& AUserName) const {
  std::scoped_lock lock(FNameLock);
  // The names depend on the code page in force.
  if (const uint32_t codePage = plat::GetACP(); codePage != FNamesCodePage) {
    FFolderNames.clear();
    FNamesCodePage = codePage;
  }
  if (const auto found = FFolderNames.find(AUserName); found != FFolderNames.end()) return found->second;
  if (FFolderNames.size() >= kMaxFolderNames) FFolderNames.clear();
  return FFolderNames.emplace(AUserName, MailBoxFolderName(AUserName)).first->second;
}

std::string TqvImap4FileHandler::SharedRoot() const {
  if (FSharedFolders.empty() || !plat::DirectoryExists(FSharedFolders)) return {};
  return AddTrailingChar(FSharedFolders, '/');
}

bool TqvImap4FileHandler::AccountFolderRefused(TqvImap4CommandConnection* AConnection, bool ACreate) {
  try {
    const TqvStoreFolder mailbox = OpenStoreFolder(AddTrailingChar(FMailBoxDir, '/'), ACreate);
    if (mailbox) (void)OpenAccountFolder(mailbox, FolderNameOf(ConnectionUserName(AConnection)), ACreate);
    return false;
  } catch (const std::exception& e) {
    DoStoreError(e);
    return true;
  }
}

TqvImap4FileHandler::TMailBoxFolder TqvImap4FileHandler::MailBoxFolder(TqvImap4CommandConnection* AConnection,
                                                                       const std::string& AName) {
  TMailBoxFolder result;
  const std::string user = UserFolder(AConnection);
  if (user.empty()) return result;
  // A real folder at the account's name needs no further check: it is no
  // link, and nothing is missing to be made.
  const TEntryKind accountKind = KindOf(user);
  if (IsInbox(AName)) {
    // INBOX always exists (RFC 3501): an account without mail gets its folder.
    if (accountKind != TEntryKind::Folder && AccountFolderRefused(AConnection, true)) return result;
    result.Path = user;
    result.Kind = accountKind == TEntryKind::Folder ? accountKind : KindOf(user);
    return result;
  }
  if (!IsSafeMailBoxName(AName, Separator())) return result;
  std::vector<std::string> levels;
  size_t start = 0;
  for (;;) {
    const size_t end = AName.find(Separator(), start);
    levels.push_back(AName.substr(start, end == std::string::npos ? end : end - start));
    if (IsStateFileName(levels.back(), FMailBoxInfoFile, FMessagesInfoFile)) return result;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::string relative;
  for (const std::string& level : levels) relative += level + "/";
  // The user's folder itself must not be a link either.
  const TEntryKind userKind = accountKind == TEntryKind::Folder ? accountKind
                              : AccountFolderRefused(AConnection, false) ? TEntryKind::Other
                                                                         : KindOf(user);
  result.Kind = userKind == TEntryKind::Folder ? KindOfLevels(user, levels) : userKind;
  result.Path = user + relative;
  const std::string shared = SharedRoot();
  if (!shared.empty() && result.Kind != TEntryKind::Folder) {
    result.Path = shared + relative;
    result.Kind = KindOfLevels(shared, levels);
  }
  result.Protected = !shared.empty() && UpperAscii(result.Path).rfind(UpperAscii(shared), 0) == 0;
  return result;
}

// ---- the folder index

namespace {

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
  const size_t n = std::strlen(AName);
  if (n < 4) return false;
  const char* tail = AName + n - 4;
  return tail[0] == '.' && (tail[1] | 0x20) == 'm' && (tail[2] | 0x20) == 's' && (tail[3] | 0x20) == 'g';
}

}  // namespace

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
  TFileKey EntriesKey;
  TqvImap4MessageList Entries;
  // "imap.dat" as last read or written, kept by the same rule.
  bool SettingsValid = false;
  bool SettingsSettled = false;
  TFileKey SettingsKey;
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
  bool Generation(const std::string& AFolder, int& AWatch, uint64_t& AGeneration) {
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

  void Release(int AWatch) {
    std::scoped_lock lock(FLock);
    ReleaseLocked(AWatch);
  }

 private:
  static constexpr uint32_t kEvents =
      IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

  void ReleaseLocked(int AWatch) {
    const auto users = FUsers.find(AWatch);
    if (users == FUsers.end() || --users->second > 0) return;
    FUsers.erase(users);
    if (!FGone.erase(AWatch)) (void)::inotify_rm_watch(FFd.Get(), AWatch);
  }

  void Drain() {
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

  std::mutex FLock;
  bool FTried = false;
  plat::UniqueFd FFd;
  uint64_t FGeneration = 1;
  std::unordered_map<int, int> FUsers;  // indexes holding each watch
  std::unordered_set<int> FGone;        // watches the system ended
};

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
  const int fd = dirFd ? ::dup(dirFd.Get()) : -1;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(fd >= 0 ? ::fdopendir(fd) : nullptr, &::closedir);
  if (!dir) {
    if (fd >= 0) ::close(fd);
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
  while (const dirent* e = ::readdir(dir.get())) {
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

// ---- mailboxes

void TqvImap4FileHandler::AddFolderTree(const std::string& AFolder, const std::string& APrefix, int ADepth,
                                        TqvImap4MailBoxList& AMailBoxes) {
  if (ADepth >= qvMaxMailBoxLevels) return;
  for (const std::string& name : ListMailSubFolders(AFolder)) {
    // A folder whose name could not come back as the same mailbox is skipped.
    if (!IsSafeMailBoxUserName(name) || name.find(Separator()) != std::string::npos ||
        IsStateFileName(name, FMailBoxInfoFile, FMessagesInfoFile))
      continue;
    const std::string folder = AFolder + name + "/";
    TqvImap4MailBoxItem* item = AMailBoxes.Add();
    item->Name = APrefix.empty() ? name : APrefix + Separator() + name;
    LoadSettingsLocked(folder, *item, false);
    AddFolderTree(folder, item->Name, ADepth + 1, AMailBoxes);
  }
}

void TqvImap4FileHandler::GetMailBoxes(TObject*, TqvImap4CommandConnection* AConnection,
                                       const std::string& ASelectedMailBox, TqvImap4MailBoxList& AMailBoxes) {
  std::shared_lock lock(FLock);
  if (!ASelectedMailBox.empty()) {
    const TMailBoxFolder folder = MailBoxFolder(AConnection, ASelectedMailBox);
    if (!folder.Exists()) return;
    TqvImap4MailBoxItem* item = AMailBoxes.Add();
    item->Name = ASelectedMailBox;
    LoadSettingsLocked(folder.Path, *item, false);
    return;
  }
  const TMailBoxFolder inbox = MailBoxFolder(AConnection, "INBOX");
  if (!inbox.Exists()) return;
  TqvImap4MailBoxItem* item = AMailBoxes.Add();
  item->Name = "INBOX";
  LoadSettingsLocked(inbox.Path, *item, true);
  AddFolderTree(inbox.Path, "", 0, AMailBoxes);
  const std::string shared = SharedRoot();
  if (!shared.empty()) AddFolderTree(shared, "", 0, AMailBoxes);
}

void TqvImap4FileHandler::UpdateMailBox(TObject*, TqvImap4CommandConnection* AConnection,
                                        TqvImap4MailBoxItem& AMailBox, bool&) {
  std::shared_lock lock(FLock);
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox.Name);
  if (!folder.Exists()) return;
  const TFolderIndexPtr index = FolderIndex(folder.Path);
  std::scoped_lock folderLock(index->Lock);
  if (!IsRegularFile(folder.Path + FMailBoxInfoFile)) return;
  // Another session may have taken UIDs or file numbers since this item was
  // read: the counters never go back.
  TqvImap4MailBoxItem stored;
  LoadSettings(*index, folder.Path, stored, false);
  AMailBox.UIDNext = std::max(AMailBox.UIDNext, stored.UIDNext);
  AMailBox.LastMessageNumber = std::max(AMailBox.LastMessageNumber, stored.LastMessageNumber);
  // The same settings again change nothing on disk.
  if (AMailBox.Subscribed == stored.Subscribed && AMailBox.UIDNext == stored.UIDNext &&
      AMailBox.UIDValidity == stored.UIDValidity && AMailBox.LastMessageNumber == stored.LastMessageNumber)
    return;
  SaveSettings(*index, folder.Path, AMailBox);
}

void TqvImap4FileHandler::CreateMailBox(TObject*, TqvImap4CommandConnection* AConnection,
                                        const std::string& AMailBox, bool& Success) {
  std::unique_lock lock(FLock);
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox);
  Success = false;
  if (IsInbox(AMailBox) || folder.Path.empty() || folder.Protected || folder.Kind != TEntryKind::Missing) return;
  try {
    // Missing levels (the account folder too) are made with mode 0700.
    (void)OpenStoreFolder(folder.Path, true);
    Success = true;
  } catch (const std::exception& e) {
    DoStoreError(e);
  }
}

void TqvImap4FileHandler::DeleteMailBox(TObject*, TqvImap4CommandConnection* AConnection,
                                        const std::string& AMailBox, bool& Success) {
  std::unique_lock lock(FLock);
  const TMailBoxFolder folder = MailBoxFolder(AConnection, AMailBox);
  Success = false;
  if (IsInbox(AMailBox) || !folder.Exists() || folder.Protected) return;
  if (!ListMailSubFolders(folder.Path).empty()) return;
  // A folder made later under the same name starts with nothing known.
  ForgetFolderIndexes();
  Success = DeleteDirectoryTree(folder.Path);
}

void TqvImap4FileHandler::RenameMailBox(TObject*, TqvImap4CommandConnection* AConnection,
                                        const std::string& ACurrentName, const std::string& ANewName,
                                        bool& Success) {
  std::unique_lock lock(FLock);
  Success = false;
  if (IsInbox(ACurrentName) || IsInbox(ANewName)) return;
  const TMailBoxFolder from = MailBoxFolder(AConnection, ACurrentName);
  const TMailBoxFolder to = MailBoxFolder(AConnection, ANewName);
  if (!from.Exists() || from.Protected) return;
  if (to.Path.empty() || to.Protected || to.Kind != TEntryKind::Missing) return;
  ForgetFolderIndexes();
  // A missing parent of the new name fails here, as does a move into itself.
  Success = ::rename(WithoutTrailingSlash(from.Path).c_str(), WithoutTrailingSlash(to.Path).c_str()) == 0;
}

// ---- messages

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
  if (index->MaxUidVersions != std::pair{index->EntriesVersion, index->FieldsVersion}) {
    index->MaxUid = -1;
    for (int i = 0; i < entries.Count(); ++i) index->MaxUid = std::max(index->MaxUid, entries.Peek(i)->UID);
    index->MaxUidVersions = {index->EntriesVersion, index->FieldsVersion};
  }
  int64_t nextUid = std::max<int64_t>({settings.UIDNext, 1, index->MaxUid + 1});
  // The UIDs held, wanted only when one is given out.
  std::unordered_set<int64_t> taken;
  bool takenKnown = false;
  const auto isTaken = [&](int64_t AUid) {
    if (!takenKnown) {
      for (int i = 0; i < entries.Count(); ++i)
        if (entries.Items(i)->UID >= 0) taken.insert(entries.Items(i)->UID);
      takenKnown = true;
    }
    return taken.count(AUid) > 0;
  };
  (void)ListMessages(*index, folder.Path);
  // The file name of a message path of this folder; "" for any other path.
  const auto fileNameOf = [&](const std::string& APath) -> std::string_view {
    if (APath.size() <= folder.Path.size() || APath.compare(0, folder.Path.size(), folder.Path) != 0) return {};
    return std::string_view(APath).substr(folder.Path.size());
  };
  // The listed date of a message file of this folder (the listing's files
  // are those of Files); null when it is not listed.
  const auto present = [&](std::string_view AName) -> const TDateTime* {
    if (AName.empty()) return nullptr;
    const auto found = index->Files.find(AName);
    return found == index->Files.end() ? nullptr : &found->second.Date;
  };
  // Entries of files that have gone are dropped by writing the file anew;
  // the same entries again leave it alone.
  if (index->AllListedVersions != std::pair{index->EntriesVersion, index->ListingVersion}) {
    index->AllListed = true;
    for (int i = 0; i < entries.Count() && index->AllListed; ++i) index->AllListed = present(entries.Items(i)->Name);
    index->AllListedVersions = {index->EntriesVersion, index->ListingVersion};
  }
  bool changed = !index->AllListed;
  try {
    for (int i = 0; i < AMessages.Count(); ++i) {
      const TqvImap4MessageItem* item = AMessages.Peek(i);
      // A record of the current snapshot, unchanged, says what is stored.
      if (index->InCurrentSnapshot(item)) continue;
      const std::string_view name = fileNameOf(item->Name);
      const TDateTime* listedDate = present(name);
      if (!listedDate) continue;
      TqvImap4MessageItem* entry = nullptr;
      bool entryChanged = false;
      if (const auto found = index->ByName.find(std::string(name)); found != index->ByName.end()) {
        entry = found->second;
      } else {
        entry = entries.Add(std::string(name), -1, 0, Now());
        index->ByName.emplace(entry->Name, entry);
        // Its file is listed: what was known of the others still holds.
        const bool allListed = index->AllListed && index->AllListedVersions ==
                                                       std::pair{index->EntriesVersion, index->ListingVersion};
        ++index->EntriesVersion;
        if (allListed) index->AllListedVersions = {index->EntriesVersion, index->ListingVersion};
        entryChanged = true;
      }
      if (entry->UID < 0 && item->UID >= 0) {
        // A UID another session gave out since this list was read (it is below
        // the stored UIDNext or already held) would be a duplicate: take the
        // next free one instead.
        int64_t uid = item->UID;
        if (uid < settings.UIDNext || isTaken(uid)) uid = nextUid;
        entry->UID = uid;
        (void)isTaken(uid);
        taken.insert(uid);
        nextUid = std::max(nextUid, uid + 1);
        entryChanged = true;
      }
      // Only this session's change of the flags is applied to what is
      // stored now: flags other sessions set or cleared since this list was
      // read stay as they are.
      TqvMailMessageFlags flags = item->Flags;
      if (item->StoredFlags >= 0) {
        const auto read = static_cast<TqvMailMessageFlags>(item->StoredFlags);
        const auto added = static_cast<TqvMailMessageFlags>(item->Flags & ~read);
        const auto removed = static_cast<TqvMailMessageFlags>(read & ~item->Flags);
        flags = static_cast<TqvMailMessageFlags>((entry->Flags | added) & ~removed);
      }
      if (entry->Flags != flags) {
        entry->Flags = flags;
        entryChanged = true;
      }
      // The session sees the UID and flags the store keeps.
      if (item->UID != entry->UID || item->Flags != entry->Flags || item->StoredFlags != entry->Flags) {
        TqvImap4MessageItem* own = AMessages.Items(i);
        own->UID = entry->UID;
        own->Flags = entry->Flags;
        own->StoredFlags = entry->Flags;
        item = own;
      }
      if (entryChanged) {
        changed = true;
        ++index->FieldsVersion;
      }
      if (item->Date != *listedDate) {
        (void)SetExistingFileDateTime(item->Name, item->Date);
        // The date as the file now gives it; the sorted listing is made anew.
        index->Files.find(name)->second.Date = GetFileDateTime(item->Name);
        index->ForgetListing();
      }
    }
    // UIDNext on disk is never below a UID given out: it goes first.
    if (nextUid > settings.UIDNext) {
      settings.UIDNext = nextUid;
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
      path = folder.Path + MessageFileName(++number);
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
