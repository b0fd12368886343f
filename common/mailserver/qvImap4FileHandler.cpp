// The IMAP4 file store's component: the state file formats, the names and
// folders of mailboxes, and the mailbox events.
#include "qvImap4FileHandler.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "AsciiText.h"
#include "CodePage.h"
#include "ProgramPath.h"
#include "ValueStream.h"
#include "qvImap4FolderIndex.h"
#include "qvImap4Server.h"
#include "qvMailBoxFiles.h"
#include "qvMailServerLimits.h"
#include "qvMailStoreUtils.h"
#include "qvFileUtils.h"
#include "qvTextSplit.h"

using qvimap4store::IsRegularFile;
using qvimap4store::kUidValidityFile;
using qvimap4store::TEntryKind;

namespace {

// User names whose folder names are kept; all are forgotten beyond this.
constexpr size_t kMaxFolderNames = 4096;

using plat::AsciiSameText;
using plat::AsciiUpperCase;

bool IsInbox(const std::string& AName) { return AsciiSameText(AName, "INBOX"); }

// Names of the files the store keeps beside the messages of a folder: no
// mailbox level may take one (ASCII case ignored).
bool IsStateFileName(const std::string& ALevel, const std::string& AMailBoxInfo, const std::string& AMessagesInfo) {
  return AsciiSameText(ALevel, AMailBoxInfo) || AsciiSameText(ALevel, AMessagesInfo) ||
         AsciiSameText(ALevel, kUidValidityFile);
}

std::string WithoutTrailingSlash(std::string APath) {
  while (APath.size() > 1 && APath.back() == '/') APath.pop_back();
  return APath;
}

TEntryKind KindOf(const std::string& APath) {
  struct stat st {};
  if (::lstat(WithoutTrailingSlash(APath).c_str(), &st) != 0) return TEntryKind::Missing;
  return S_ISDIR(st.st_mode) ? TEntryKind::Folder : TEntryKind::Other;
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

}  // namespace

namespace qvimap4store {

bool IsRegularFile(const std::string& APath) {
  struct stat st {};
  return ::lstat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace qvimap4store

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
    const TqvMailMessageFlags flags = ParseImapMessageFlags(AsciiUpperCase(reader.ReadString()));
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
  result.Protected = !shared.empty() && plat::AsciiStartsWith(result.Path, shared);
  return result;
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
