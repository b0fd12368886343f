// The SMTP file store: bound to a TqvSmtpServer, it stores each local copy
// as MailBoxDir/<user folder>/MAIL%.8d.MSG and each message with non-local
// recipients as a RelayDir pair MAIL%.8d.MSG + .ENV (line 1 the sender, then
// one recipient per line). Files hold the lines with CR LF, bytes as
// received. Each file is written and flushed under a temporary name, then
// linked to a free name (never over an existing file), the .MSG before its
// .ENV, so scanners see complete files only; the event returns only after
// that. One counter, shared by both folders, numbers the files; drawing a
// name and placing files run under the store's lock (re-entrant). Events run
// on the server's workers. Failures become mdProcessingError (OnStoreError
// gets the details). The handler watches its server: the server may be
// destroyed first; the handler unbinds itself when it goes.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "ClassCore.h"
#include "qvSmtpServer.h"

class TqvStagedFile;

using TqvStoreErrorEvent = std::function<void(TObject* Sender, const std::exception& E)>;

class TqvSmtpFileHandler : public TComponent {
 public:
  explicit TqvSmtpFileHandler(TComponent* AOwner = nullptr);
  ~TqvSmtpFileHandler() override;
  VX_CLASS_NAME("TqvSmtpFileHandler")

  [[nodiscard]] TqvSmtpServer* Server() const { return FServer; }
  // Unbinds from the old server and binds to the new one (null: none).
  void SetServer(TqvSmtpServer* Value);
  [[nodiscard]] std::string MailBoxDir() const;
  void SetMailBoxDir(const std::string& Value);
  [[nodiscard]] std::string RelayDir() const;
  void SetRelayDir(const std::string& Value);
  // The last number used in a file name.
  [[nodiscard]] int Counter() const;
  void SetCounter(int Value);

  // Increments Counter and returns AFolder + the first free "MAIL%.8d" or
  // "MAIL%.8d%d" (retry from 0) whose ".MSG" does not exist; no extension.
  [[nodiscard]] std::string GetUniqueFileName(const std::string& AFolder);

  // The server's OnMessageDelivered and OnMessageRelayed.
  void DeliverMessage(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                      const std::string& ARecipient, TqvMailUserAccountItem* Account, TStrings& AMessage,
                      TqvSmtpMailDataAction& Action);
  void QueueRelayMessage(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                         const TStrings& ARecipients, TStrings& AMessage, TqvSmtpMailDataAction& Action);

  TqvStoreErrorEvent OnStoreError;

 protected:
  virtual void Unbind();
  virtual void Bind();
  void Notification(TComponent* AComponent, TOperation Operation) override;
  virtual void DoStoreError(const std::exception& E);

 private:
  // Under the lock: the next number, linked to its first free name in
  // AFolder; also skips names whose ASkipExtension file exists. Returns the
  // name without extension.
  std::string PlaceNumbered(const std::string& AFolder, TqvStagedFile& AMessage, const char* ASkipExtension);

  TqvSmtpServer* FServer = nullptr;
  mutable std::recursive_mutex FLock;
  std::string FMailBoxDir;
  std::string FRelayDir;
  int FCounter = 1;
};
