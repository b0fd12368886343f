// The SMTP file store: bound to a TqvSmtpServer, it stores each local copy
// as MailBoxDir/<user folder>/MAIL%.8d.MSG and each message with non-local
// recipients as a RelayDir pair MAIL%.8d.MSG + .ENV (line 1 the sender, then
// one recipient per line). Files hold the lines with CR LF, bytes as
// received. Each file is written and flushed under a temporary name, then
// given a free name (never over an existing file), the .MSG before its
// .ENV, so scanners see complete files only; the event returns only after
// that and the folder's flush. A session keeps the account folder it wrote
// to last and uses it again while its path still leads to that very folder
// (never through a link put in its place). A message the server spooled
// (qvMessageSpool.h) has its spool made in the folder of its first copy and
// is stored from it: that copy by a rename, the others as copies of it. One counter, shared by both folders, numbers the files: it runs from
// 1 to the largest int and then round to 1, and before a number of a new
// block of CounterBlock is used, OnReserveCounter is told the block's last
// number (the host keeps it durably, so after a crash no number comes round
// early). Drawing a name and placing files run under the store's lock
// (re-entrant). Events run
// on the server's workers. Failures become mdProcessingError (OnStoreError
// gets the details). The handler watches its server: the server may be
// destroyed first; the handler unbinds itself when it goes.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "ClassCore.h"
#include "qvMailStoreUtils.h"
#include "qvMessageSpool.h"
#include "qvServerStore.h"
#include "qvSmtpServer.h"

class TqvStagedFile;
// ALimit: the last number the new block may use. A handler that raises leaves
// the block unreserved (asked again at the next number), and the number is
// used all the same: names never replace a file either way.
using TqvReserveCounterEvent = std::function<void(TObject* Sender, int ALimit)>;

class TqvSmtpFileHandler : public TqvServerStore<TqvSmtpServer> {
 public:
  explicit TqvSmtpFileHandler(TComponent* AOwner = nullptr);
  ~TqvSmtpFileHandler() override;
  VX_CLASS_NAME("TqvSmtpFileHandler")

  [[nodiscard]] std::string MailBoxDir() const;
  void SetMailBoxDir(const std::string& Value);
  [[nodiscard]] std::string RelayDir() const;
  void SetRelayDir(const std::string& Value);
  // Numbers drawn per reservation.
  static constexpr int CounterBlock = 1000;
  // The last number used in a file name (0 to the largest int; a negative
  // value is taken as 0). Setting it drops the current reservation.
  [[nodiscard]] int Counter() const;
  void SetCounter(int Value);

  // The next number of the counter (reserved first when a block begins),
  // for message files other stores name (IMAP APPEND and COPY), so that no
  // file name of any store is ever used twice.
  [[nodiscard]] int NewMessageNumber();

  // Increments Counter and returns AFolder + the first free "MAIL%.8d" or
  // "MAIL%.8d%d" (retry from 0) whose ".MSG" does not exist; no extension.
  [[nodiscard]] std::string GetUniqueFileName(const std::string& AFolder);

  // The server's OnMessageDelivered and OnMessageRelayed.
  void DeliverMessage(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                      const std::string& ARecipient, TqvMailUserAccountItem* Account, TStrings& AMessage,
                      TqvSmtpMailDataAction& Action);
  void QueueRelayMessage(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                         const TStrings& ARecipients, TStrings& AMessage, TqvSmtpMailDataAction& Action);
  // The server's OnCreateSpool, OnSpooledMessageDelivered and
  // OnSpooledMessageRelayed: a spool in the account's folder (the relay
  // folder without one), and the copies stored from it.
  void CreateSpool(TObject* Sender, TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem* Account,
                   const std::string& APrefix, std::unique_ptr<TqvMessageSpool>& ASpool);
  void DeliverSpooledMessage(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                             const std::string& ARecipient, TqvMailUserAccountItem* Account,
                             TqvMessageSpool& ASpool, TqvSmtpMailDataAction& Action);
  void QueueSpooledRelayMessage(TObject* Sender, TqvSmtpCommandConnection* AConnection,
                                const std::string& AMailFrom, const TStrings& ARecipients, TqvMessageSpool& ASpool,
                                TqvSmtpMailDataAction& Action);

  TqvStoreErrorEvent OnStoreError;
  TqvReserveCounterEvent OnReserveCounter;
  // A pair was placed in RelayDir, durably, and the session's message is
  // stored whole (on the session's thread).
  TNotifyEvent OnRelayQueued;

 protected:
  void Unbind() override;
  void Bind() override;
  virtual void DoStoreError(const std::exception& E);
  virtual void DoReserveCounter(int ALimit);

 private:
  // Under the lock: the next number, linked to its first free name in
  // AFolder; also skips names whose ASkipExtension file exists. Returns the
  // name without extension.
  std::string PlaceNumbered(const TqvStoreFolder& AFolder, TqvStagedFile& AMessage, const char* ASkipExtension);
  // Under the lock: the next number, reserved first when a block begins.
  int DrawNumber();
  // The message file for a folder: made from lines, or a copy of a spool.
  using TStage = std::function<std::unique_ptr<TqvStagedFile>(const TqvStoreFolder& AFolder)>;
  // The account's folder (kept by the session, else opened into AOpened);
  // raises when the account has none.
  const TqvStoreFolder& AccountFolder(TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem* Account,
                                      TqvStoreFolder& AOpened);
  void Deliver(TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem* Account, const TStage& AStage,
               TqvSmtpMailDataAction& Action);
  void QueueRelay(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom, const TStrings& ARecipients,
                  const TStage& AStage, TqvSmtpMailDataAction& Action);

  // Re-entered by DrawNumber, which GetUniqueFileName and PlaceNumbered call
  // under it so that a number and its name are chosen together.
  mutable std::recursive_mutex FLock;
  std::string FMailBoxDir;
  std::string FRelayDir;
  int FCounter = 1;
  int FReservedLeft = 0;  // numbers left in the reserved block
};
