#include "qvPop3FileHandler.h"

#include <fcntl.h>
#include <cerrno>
#include <unistd.h>

#include <vector>

#include "AsciiText.h"
#include "qvMailBoxFiles.h"
#include "qvTextSplit.h"

TqvPop3FileHandler::TqvPop3FileHandler(TComponent* AOwner) : TqvServerStore(AOwner) {}

TqvPop3FileHandler::~TqvPop3FileHandler() { SetServer(nullptr); }

std::string TqvPop3FileHandler::MailBoxDir() const {
  std::scoped_lock lock(FLock);
  return FMailBoxDir;
}

void TqvPop3FileHandler::SetMailBoxDir(const std::string& Value) {
  std::scoped_lock lock(FLock);
  FMailBoxDir = Value;
}

void TqvPop3FileHandler::Bind() {
  FServer->OnMailBoxInfo = [this](TObject*, TqvPop3CommandConnection* c, TqvPop3MessageList& box) {
    LoadMailBox(c, box);
  };
  FServer->OnRetrieve = [this](TObject*, TqvPop3CommandConnection* c, int n, TStrings& lines, bool& ok) {
    RetrieveMessage(c, n, lines, ok);
  };
  FServer->OnOpenMessage = [this](TObject*, TqvPop3CommandConnection* c, int n, std::unique_ptr<TStream>& stream,
                                  bool& ok) { OpenMessage(c, n, stream, ok); };
  FServer->OnStateChanged = [this](TObject*, TqvPop3CommandConnection* c) { DeleteMarkedMessages(c); };
}

void TqvPop3FileHandler::Unbind() {
  FServer->OnMailBoxInfo = nullptr;
  FServer->OnRetrieve = nullptr;
  FServer->OnOpenMessage = nullptr;
  FServer->OnStateChanged = nullptr;
}

void TqvPop3FileHandler::DoLoadMessage(TqvPop3CommandConnection* AConnection, const std::string& AMailBoxPath,
                                       const std::string& AMessageFile, bool& ACanLoad) {
  if (OnLoadMessage) OnLoadMessage(this, AConnection, AMailBoxPath, AMessageFile, ACanLoad);
}

std::string TqvPop3FileHandler::GetMailBoxPath(const std::string& AUserName) const {
  const std::string folder = MailBoxFolderName(AUserName);
  if (folder.empty()) return {};
  // An empty MailBoxDir means the current folder, never the root.
  return AddTrailingChar(MailBoxDir(), '/') + folder + '/';
}

std::string TqvPop3FileHandler::GetMessageUID(const std::string& AFileName, int64_t ASize) {
  std::string uid = AFileName;
  for (char& c : uid) {
    if (c == '.') c = ':';
    c = plat::AsciiUpper(c);
  }
  uid += ':';
  uid += std::to_string(ASize);
  for (char& c : uid)
    if (c == ' ') c = '_';
  return uid;
}

namespace {

// The session's kept account folder, made on first use.
TqvKeptFolder& KeptFolder(TqvPop3CommandConnection* AConnection) {
  if (!AConnection->StoreState) AConnection->StoreState = std::make_shared<TqvKeptFolder>();
  return *static_cast<TqvKeptFolder*>(AConnection->StoreState.get());
}

}  // namespace

TqvStoreFolder TqvPop3FileHandler::OpenUserFolder(const std::string& AUserName) const {
  const std::string name = MailBoxFolderName(AUserName);
  if (name.empty()) return {};
  const TqvStoreFolder mailbox = OpenStoreFolder(AddTrailingChar(MailBoxDir(), '/'), false);
  if (!mailbox) return {};
  return OpenAccountFolder(mailbox, name, false);
}

TqvStoreFolder TqvPop3FileHandler::OpenUserFolderReported(const std::string& AUserName) {
  try {
    return OpenUserFolder(AUserName);
  } catch (const std::exception& e) {
    DoStoreError(e);
    return {};
  }
}

void TqvPop3FileHandler::LoadMailBox(TqvPop3CommandConnection* AConnection, TqvPop3MessageList& AMailBox) {
  AMailBox.Clear();
  const std::string dir = MailBoxDir();
  TqvKeptFolder& kept = KeptFolder(AConnection);
  TqvStoreFolder folder = OpenUserFolderReported(AConnection->UserName());
  if (!folder) {
    kept.Clear();
    return;
  }
  const std::string path = folder.Path();
  const std::vector<TqvMailFileEntry> files = ListMailFiles(folder, ".MSG");
  // Kept for the session's RETR and TOP.
  (void)kept.Keep(AConnection->UserName(), dir, std::move(folder));
  for (const TqvMailFileEntry& file : files) {
    bool canLoad = true;
    DoLoadMessage(AConnection, path, file.Name, canLoad);
    if (canLoad)
      AMailBox.Add(std::make_unique<TqvPop3FileMessageItem>(GetMessageUID(file.Name, file.Size), path + file.Name,
                                                            file.Size));
  }
}

namespace {

std::string NameInFolder(const std::string& AFileName) { return AFileName.substr(AFileName.find_last_of('/') + 1); }

}  // namespace

const TqvStoreFolder& TqvPop3FileHandler::MessageFolder(TqvPop3CommandConnection* AConnection, int AMessageNo,
                                                        std::string& AName) const {
  auto* item = dynamic_cast<TqvPop3FileMessageItem*>(AConnection->MailBox().Items(AMessageNo - 1));
  if (!item) throw EListError("not a file message");
  AName = NameInFolder(item->FileName);
  // The folder may have been swapped for a link since the listing: the one
  // the session holds serves only while its path still leads to it.
  const std::string& user = AConnection->UserName();
  const std::string dir = MailBoxDir();
  TqvKeptFolder& kept = KeptFolder(AConnection);
  if (const TqvStoreFolder* folder = kept.Find(user, dir)) return *folder;
  TqvStoreFolder opened = OpenUserFolder(user);
  const TqvStoreFolder* folder = opened ? kept.Keep(user, dir, std::move(opened)) : nullptr;
  if (!folder) throw EFOpenError("Cannot open file \"" + item->FileName + "\"");
  return *folder;
}

void TqvPop3FileHandler::RetrieveMessage(TqvPop3CommandConnection* AConnection, int AMessageNo, TStrings& AMessage,
                                         bool& Success) {
  try {
    std::string name;
    const TqvStoreFolder& folder = MessageFolder(AConnection, AMessageNo, name);
    LoadMailFile(folder, name, AMessage);
    Success = true;
  } catch (const std::exception&) {
    AMessage.Clear();
    Success = false;
  }
}

void TqvPop3FileHandler::OpenMessage(TqvPop3CommandConnection* AConnection, int AMessageNo,
                                     std::unique_ptr<TStream>& AStream, bool& Success) {
  try {
    std::string name;
    const TqvStoreFolder& folder = MessageFolder(AConnection, AMessageNo, name);
    AStream = OpenMailFile(folder, name);
    Success = true;
  } catch (const std::exception&) {
    AStream.reset();
    Success = false;
  }
}

void TqvPop3FileHandler::DeleteMarkedMessages(TqvPop3CommandConnection* AConnection) {
  if (AConnection->State() != psUpdate) return;
  // Under the server lock only the names are taken; the files go once it is
  // released, so the other sessions never wait for the disk.
  std::vector<std::string> names;
  const TqvPop3MessageList& box = AConnection->MailBox();
  for (int i = 0; i < box.Count(); ++i) {
    auto* item = dynamic_cast<TqvPop3FileMessageItem*>(box.Items(i));
    if (item && item->Deleted) names.push_back(NameInFolder(item->FileName));
  }
  AConnection->AfterStateChange([this, AConnection, user = AConnection->UserName(), names = std::move(names)] {
    const TqvStoreFolder folder = OpenUserFolderReported(user);
    if (!folder) {
      if (!names.empty()) AConnection->SetRemovalFailed();
      return;
    }
    // What can go goes; each file that stays is reported (it is back in the
    // next session) and QUIT says so.
    for (const std::string& name : names) {
      if (::unlinkat(folder.Fd(), name.c_str(), 0) == 0 || errno == ENOENT) continue;
      DoStoreError(StoreOSError(errno, "Cannot delete file", AddTrailingChar(folder.Path(), '/') + name));
      AConnection->SetRemovalFailed();
    }
  });
}

void TqvPop3FileHandler::DoStoreError(const std::exception& E) {
  if (OnStoreError) OnStoreError(this, E);
}
