#include "qvSmtpFileHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "qvMailBoxFiles.h"
#include "qvMailStoreUtils.h"
#include "qvTextSplit.h"

namespace {

std::string FolderOf(const std::string& ADir) { return AddTrailingChar(ADir, '/'); }

// The session's kept account folder, made on first use.
TqvKeptFolder& KeptFolder(TqvSmtpCommandConnection* AConnection) {
  if (!AConnection->StoreState) AConnection->StoreState = std::make_shared<TqvKeptFolder>();
  return *static_cast<TqvKeptFolder*>(AConnection->StoreState.get());
}

// Takes back files this store placed, in the order given, then flushes the
// folder of the first one; a file already gone counts as removed.
void RemoveCopy(std::initializer_list<std::string> APaths) {
  for (const std::string& path : APaths)
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
      throw EInvalidOperation("Cannot remove \"" + path + "\"");
  const std::string& first = *APaths.begin();
  SyncFolder(first.substr(0, first.find_last_of('/') + 1));
}

}  // namespace

TqvSmtpFileHandler::TqvSmtpFileHandler(TComponent* AOwner) : TqvServerStore(AOwner) {}

TqvSmtpFileHandler::~TqvSmtpFileHandler() { SetServer(nullptr); }

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
  FServer->OnCreateSpool = [this](TObject* Sender, TqvSmtpCommandConnection* c, TqvMailUserAccountItem* Account,
                                  const std::string& APrefix, std::unique_ptr<TqvMessageSpool>& ASpool) {
    CreateSpool(Sender, c, Account, APrefix, ASpool);
  };
  FServer->OnSpooledMessageRelayed = [this](TObject* Sender, TqvSmtpCommandConnection* c, const std::string& AFrom,
                                            const TStrings& ARecipients, TqvMessageSpool& ASpool,
                                            TqvSmtpMailDataAction& Action) {
    QueueSpooledRelayMessage(Sender, c, AFrom, ARecipients, ASpool, Action);
  };
  FServer->OnSpooledMessageDelivered = [this](TObject* Sender, TqvSmtpCommandConnection* c,
                                              const std::string& AFrom, const std::string& ARecipient,
                                              TqvMailUserAccountItem* Account, TqvMessageSpool& ASpool,
                                              TqvSmtpMailDataAction& Action) {
    DeliverSpooledMessage(Sender, c, AFrom, ARecipient, Account, ASpool, Action);
  };
}

void TqvSmtpFileHandler::Unbind() {
  if (!FServer) return;
  FServer->OnMessageRelayed = nullptr;
  FServer->OnMessageDelivered = nullptr;
  FServer->OnCreateSpool = nullptr;
  FServer->OnSpooledMessageRelayed = nullptr;
  FServer->OnSpooledMessageDelivered = nullptr;
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
  // A negative number would put a sign into a file name.
  FCounter = std::max(Value, 0);
  FReservedLeft = 0;
}

int TqvSmtpFileHandler::DrawNumber() {
  std::scoped_lock lock(FLock);
  const int next = FCounter == INT_MAX ? 1 : FCounter + 1;
  if (FReservedLeft == 0) {
    const int64_t last = int64_t{next} + CounterBlock - 1;
    try {
      DoReserveCounter(static_cast<int>(last > INT_MAX ? last - INT_MAX : last));
      FReservedLeft = CounterBlock;
    } catch (const std::exception& e) {
      DoStoreError(e);
    }
  }
  if (FReservedLeft > 0) --FReservedLeft;
  FCounter = next;
  return next;
}

int TqvSmtpFileHandler::NewMessageNumber() { return DrawNumber(); }

std::string TqvSmtpFileHandler::GetUniqueFileName(const std::string& AFolder) {
  std::scoped_lock lock(FLock);
  int retry = 0;
  return FirstFreeName(AT_FDCWD, AFolder, DrawNumber(), retry, nullptr);
}

std::string TqvSmtpFileHandler::PlaceNumbered(const TqvStoreFolder& AFolder, TqvStagedFile& AMessage,
                                              const char* ASkipExtension) {
  std::scoped_lock lock(FLock);
  const int number = DrawNumber();
  int retry = -1;
  // Without a second extension to keep free, placing is the check itself.
  std::string name = ASkipExtension ? FirstFreeName(AFolder.Fd(), AFolder.Path(), number, retry, ASkipExtension)
                                    : NumberedName(AFolder.Path(), number, retry);
  // Another store (IMAP) may take a name between the check and placing.
  while (!AMessage.PlaceAs(name + ".MSG")) {
    ++retry;
    name = NumberedName(AFolder.Path(), number, retry);
  }
  return name;
}

const TqvStoreFolder& TqvSmtpFileHandler::AccountFolder(TqvSmtpCommandConnection* AConnection,
                                                        TqvMailUserAccountItem* Account, TqvStoreFolder& AOpened) {
  const std::string account = Account ? Account->UserName() : std::string();
  const std::string dir = MailBoxDir();
  // A session's next message to the same account goes to the folder it
  // kept, while that folder's path still leads to it.
  TqvKeptFolder* kept = AConnection ? &KeptFolder(AConnection) : nullptr;
  if (const TqvStoreFolder* found = kept ? kept->Find(account, dir) : nullptr) return *found;
  const std::string user = Account ? MailBoxFolderName(account) : std::string();
  // A name like "..", "a/b" or "" would write outside the user's own folder.
  if (user.empty()) throw EInvalidOperation("No mailbox folder for the account name");
  // The account folder is opened without following a link at its name.
  AOpened = OpenAccountFolder(OpenStoreFolder(FolderOf(dir), true), user, true);
  if (kept)
    if (const TqvStoreFolder* found = kept->Keep(account, dir, std::move(AOpened))) return *found;
  return AOpened;
}

void TqvSmtpFileHandler::Deliver(TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem* Account,
                                 const TStage& AStage, TqvSmtpMailDataAction& Action) {
  try {
    TqvStoreFolder opened;
    const TqvStoreFolder& folder = AccountFolder(AConnection, Account, opened);
    const std::unique_ptr<TqvStagedFile> message = AStage(folder);
    const std::string name = PlaceNumbered(folder, *message, nullptr);
    if (AConnection) AConnection->PlacedCopies.push_back([path = name + ".MSG"] { RemoveCopy({path}); });
    folder.Sync();
    Action = mdOk;
  } catch (const std::exception& e) {
    Action = mdProcessingError;
    DoStoreError(e);
  }
}

void TqvSmtpFileHandler::QueueRelay(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                                    const TStrings& ARecipients, const TStage& AStage,
                                    TqvSmtpMailDataAction& Action) {
  try {
    const TqvStoreFolder folder = OpenStoreFolder(FolderOf(RelayDir()), true);
    std::string envelope = AMailFrom + "\r\n";
    for (int i = 0; i < ARecipients.Count(); ++i) envelope += ARecipients.Strings(i) + "\r\n";
    // The envelope goes on its way to disk first: the message's flush then
    // carries it, and its own flush finds next to nothing left to do.
    TqvStagedFile envelopeFile(folder);
    envelopeFile.Append(envelope);
    envelopeFile.StartWriteback();
    const std::unique_ptr<TqvStagedFile> message = AStage(folder);
    envelopeFile.Commit();
    const std::string name = PlaceNumbered(folder, *message, ".ENV");
    // The relay pass looks for .ENV files, so the message takes its name
    // first. One folder flush after both names keeps the pair: the reply
    // waits for it, and a journaling file system never keeps the second
    // name without the first. Where one did, a crash before the reply could
    // leave an envelope without its message, which the pass keeps aside;
    // the client, told nothing, sends the mail again.
    if (!envelopeFile.PlaceAs(name + ".ENV")) throw EInvalidOperation("Envelope \"" + name + ".ENV\" exists");
    // Taken back envelope first, so the relay pass never meets a pair without its message.
    if (AConnection) AConnection->PlacedCopies.push_back([name] { RemoveCopy({name + ".ENV", name + ".MSG"}); });
    folder.Sync();
    Action = mdOk;
  } catch (const std::exception& e) {
    Action = mdProcessingError;
    DoStoreError(e);
    return;
  }
  // Told once the whole message is stored: a pair the session may still
  // take back must not be relayed.
  auto tell = [this] {
    if (OnRelayQueued) OnRelayQueued(this);
  };
  if (AConnection)
    AConnection->AfterStored.push_back(tell);
  else
    tell();
}

void TqvSmtpFileHandler::DeliverMessage(TObject*, TqvSmtpCommandConnection* AConnection, const std::string&,
                                        const std::string&, TqvMailUserAccountItem* Account, TStrings& AMessage,
                                        TqvSmtpMailDataAction& Action) {
  Deliver(AConnection, Account,
          [&](const TqvStoreFolder& AFolder) { return std::make_unique<TqvStagedFile>(AFolder, AMessage); }, Action);
}

void TqvSmtpFileHandler::QueueRelayMessage(TObject*, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                                           const TStrings& ARecipients, TStrings& AMessage,
                                           TqvSmtpMailDataAction& Action) {
  QueueRelay(AConnection, AMailFrom, ARecipients,
             [&](const TqvStoreFolder& AFolder) { return std::make_unique<TqvStagedFile>(AFolder, AMessage); }, Action);
}

void TqvSmtpFileHandler::CreateSpool(TObject*, TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem* Account,
                                     const std::string& APrefix, std::unique_ptr<TqvMessageSpool>& ASpool) {
  try {
    if (Account) {
      TqvStoreFolder opened;
      ASpool = std::make_unique<TqvMessageSpool>(AccountFolder(AConnection, Account, opened), APrefix);
    } else {
      ASpool = std::make_unique<TqvMessageSpool>(OpenStoreFolder(FolderOf(RelayDir()), true), APrefix);
    }
  } catch (const std::exception& e) {
    ASpool.reset();
    DoStoreError(e);
  }
}

void TqvSmtpFileHandler::DeliverSpooledMessage(TObject*, TqvSmtpCommandConnection* AConnection, const std::string&,
                                               const std::string&, TqvMailUserAccountItem* Account,
                                               TqvMessageSpool& ASpool, TqvSmtpMailDataAction& Action) {
  Deliver(AConnection, Account, [&](const TqvStoreFolder& AFolder) { return ASpool.StageCopy(AFolder); }, Action);
}

void TqvSmtpFileHandler::QueueSpooledRelayMessage(TObject*, TqvSmtpCommandConnection* AConnection,
                                                  const std::string& AMailFrom, const TStrings& ARecipients,
                                                  TqvMessageSpool& ASpool, TqvSmtpMailDataAction& Action) {
  QueueRelay(AConnection, AMailFrom, ARecipients,
             [&](const TqvStoreFolder& AFolder) { return ASpool.StageCopy(AFolder); }, Action);
}

void TqvSmtpFileHandler::DoStoreError(const std::exception& E) {
  if (OnStoreError) OnStoreError(this, E);
}

void TqvSmtpFileHandler::DoReserveCounter(int ALimit) {
  if (OnReserveCounter) OnReserveCounter(this, ALimit);
}
