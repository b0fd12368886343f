#include "qvSmtpFileHandler.h"

#include <sys/stat.h>

#include <cstdio>

#include "qvMailBoxFiles.h"
#include "qvMailStoreUtils.h"
#include "qvUtils.h"

namespace {

std::string FolderOf(const std::string& ADir) { return AddTrailingChar(ADir, '/'); }

// AFolder ends in "/". A folder made now must itself survive a crash, so
// the folder holding it is flushed too.
void MakeFolder(const std::string& AFolder) {
  struct stat st;
  if (::stat(AFolder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  if (!ForceDirectoryPath(AFolder)) throw EInvalidOperation("Cannot create folder \"" + AFolder + "\"");
  const size_t slash = AFolder.find_last_of('/', AFolder.size() - 2);
  SyncFolder(slash == std::string::npos ? std::string(".") : AFolder.substr(0, slash + 1));
}

}  // namespace

TqvSmtpFileHandler::TqvSmtpFileHandler(TComponent* AOwner) : TComponent(AOwner) {}

TqvSmtpFileHandler::~TqvSmtpFileHandler() { SetServer(nullptr); }

void TqvSmtpFileHandler::SetServer(TqvSmtpServer* Value) {
  if (Value == FServer) return;
  if (FServer) {
    Unbind();
    FServer->RemoveFreeNotification(this);
  }
  FServer = Value;
  if (FServer) {
    FServer->FreeNotification(this);
    Bind();
  }
}

void TqvSmtpFileHandler::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  // The server is being destroyed: its events are gone with it.
  if (Operation == TOperation::opRemove && AComponent == FServer) FServer = nullptr;
}

void TqvSmtpFileHandler::Bind() {
  if (!FServer) return;
  FServer->OnMessageRelayed = [this](TObject* Sender, TqvSmtpCommandConnection* c, const std::string& AFrom,
                                     const TStrings& ARecipients, TStrings& AMessage,
                                     TqvSmtpMailDataAction& Action) {
    QueueRelayMessage(Sender, c, AFrom, ARecipients, AMessage, Action);
  };
  FServer->OnMessageDelivered = [this](TObject* Sender, TqvSmtpCommandConnection* c, const std::string& AFrom,
                                       const std::string& ARecipient, TqvMailUserAccountItem* Account,
                                       TStrings& AMessage, TqvSmtpMailDataAction& Action) {
    DeliverMessage(Sender, c, AFrom, ARecipient, Account, AMessage, Action);
  };
}

void TqvSmtpFileHandler::Unbind() {
  if (!FServer) return;
  FServer->OnMessageRelayed = nullptr;
  FServer->OnMessageDelivered = nullptr;
}

std::string TqvSmtpFileHandler::MailBoxDir() const {
  std::scoped_lock lock(FLock);
  return FMailBoxDir;
}

void TqvSmtpFileHandler::SetMailBoxDir(const std::string& Value) {
  std::scoped_lock lock(FLock);
  FMailBoxDir = Value;
}

std::string TqvSmtpFileHandler::RelayDir() const {
  std::scoped_lock lock(FLock);
  return FRelayDir;
}

void TqvSmtpFileHandler::SetRelayDir(const std::string& Value) {
  std::scoped_lock lock(FLock);
  FRelayDir = Value;
}

int TqvSmtpFileHandler::Counter() const {
  std::scoped_lock lock(FLock);
  return FCounter;
}

void TqvSmtpFileHandler::SetCounter(int Value) {
  std::scoped_lock lock(FLock);
  FCounter = Value;
}

std::string TqvSmtpFileHandler::GetUniqueFileName(const std::string& AFolder) {
  std::scoped_lock lock(FLock);
  ++FCounter;
  int retry = 0;
  return FirstFreeName(AFolder, FCounter, retry, nullptr);
}

std::string TqvSmtpFileHandler::PlaceNumbered(const std::string& AFolder, TqvStagedFile& AMessage,
                                              const char* ASkipExtension) {
  std::scoped_lock lock(FLock);
  ++FCounter;
  int retry = 0;
  std::string name = FirstFreeName(AFolder, FCounter, retry, ASkipExtension);
  // Another store (IMAP) may take a name between the check and the link.
  while (!AMessage.PlaceAs(name + ".MSG")) {
    ++retry;
    name = NumberedName(AFolder, FCounter, retry);
  }
  return name;
}

void TqvSmtpFileHandler::DeliverMessage(TObject*, TqvSmtpCommandConnection*, const std::string&,
                                        const std::string&, TqvMailUserAccountItem* Account, TStrings& AMessage,
                                        TqvSmtpMailDataAction& Action) {
  try {
    const std::string user = Account ? MailBoxFolderName(Account->UserName()) : std::string();
    // A name like "..", "a/b" or "" would write outside the user's own folder.
    if (user.empty()) throw EInvalidOperation("No mailbox folder for the account name");
    const std::string folder = FolderOf(MailBoxDir()) + user + "/";
    MakeFolder(folder);
    TqvStagedFile message(folder, AMessage);
    (void)PlaceNumbered(folder, message, nullptr);
    SyncFolder(folder);
    Action = mdOk;
  } catch (const std::exception& e) {
    Action = mdProcessingError;
    DoStoreError(e);
  }
}

void TqvSmtpFileHandler::QueueRelayMessage(TObject*, TqvSmtpCommandConnection*, const std::string& AMailFrom,
                                           const TStrings& ARecipients, TStrings& AMessage,
                                           TqvSmtpMailDataAction& Action) {
  try {
    const std::string folder = FolderOf(RelayDir());
    MakeFolder(folder);
    std::string envelope = AMailFrom + "\r\n";
    for (int i = 0; i < ARecipients.Count(); ++i) envelope += ARecipients.Strings(i) + "\r\n";
    TqvStagedFile message(folder, AMessage);
    TqvStagedFile envelopeFile(folder, envelope);
    const std::string name = PlaceNumbered(folder, message, ".ENV");
    // The relay pass looks for .ENV files: its message must be on disk first.
    SyncFolder(folder);
    if (!envelopeFile.PlaceAs(name + ".ENV")) throw EInvalidOperation("Envelope \"" + name + ".ENV\" exists");
    SyncFolder(folder);
    Action = mdOk;
  } catch (const std::exception& e) {
    Action = mdProcessingError;
    DoStoreError(e);
  }
}

void TqvSmtpFileHandler::DoStoreError(const std::exception& E) {
  if (OnStoreError) OnStoreError(this, E);
}
