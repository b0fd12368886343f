// The POP3 file store: serves each maildrop from MailBoxDir/<user>/*.MSG (the
// folders the SMTP store writes), numbered in file-name order (RETR streams
// the file), and deletes the marked files when a session enters UPDATE. It
// binds itself to the server's OnMailBoxInfo, OnRetrieve, OnOpenMessage and
// OnStateChanged (replacing whatever was there) and leaves the other events
// alone. Borrows the server; told when
// it goes. Its events run on the server's workers; MailBoxDir is read and set
// under the store's lock; the files marked for deletion are named under the
// server lock and removed after it is released. A session keeps its account
// folder open between commands and uses it only while the folder's path
// still leads to it (checked by one stat per message). A user name
// that is empty or could leave MailBoxDir ("..", "/", control characters)
// gets an empty maildrop, and so does an account folder that is a symbolic
// link (never followed; OnStoreError is told). Failures are never raised to
// the server: a failed load answers "no such message", a failed deletion is
// skipped.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "ClassCore.h"
#include "qvMailStoreUtils.h"
#include "qvServerStore.h"
#include "qvPop3Server.h"

class TqvPop3FileMessageItem : public TqvPop3MessageItem {
 public:
  TqvPop3FileMessageItem(std::string AUID, std::string AFileName, int64_t ASize)
      : TqvPop3MessageItem(std::move(AUID), ASize), FileName(std::move(AFileName)) {}
  VX_CLASS_NAME("TqvPop3FileMessageItem")
  std::string FileName;  // full path
};

using TqvPop3LoadMessageEvent =
    std::function<void(TObject* Sender, TqvPop3CommandConnection* AConnection, const std::string& AMailBoxPath,
                       const std::string& AMessageFile, bool& ACanLoad)>;

class TqvPop3FileHandler : public TqvServerStore<TqvPop3Server> {
 public:
  explicit TqvPop3FileHandler(TComponent* AOwner = nullptr);
  ~TqvPop3FileHandler() override;
  VX_CLASS_NAME("TqvPop3FileHandler")

  [[nodiscard]] std::string MailBoxDir() const;
  void SetMailBoxDir(const std::string& Value);

  // MailBoxDir (a "/" added unless empty or there) + the user's folder name
  // + "/"; "" for an unsafe name.
  [[nodiscard]] std::string GetMailBoxPath(const std::string& AUserName) const;
  // The file name with "." as ":", upper-cased, ":" and the size, blanks as "_".
  [[nodiscard]] static std::string GetMessageUID(const std::string& AFileName, int64_t ASize);

  // Fired per file before it joins the maildrop; ACanLoad false hides it.
  TqvPop3LoadMessageEvent OnLoadMessage;
  // A maildrop that could not be read, or a file that could not be removed.
  TqvStoreErrorEvent OnStoreError;

 protected:
  void Unbind() override;
  void Bind() override;
  virtual void DoLoadMessage(TqvPop3CommandConnection* AConnection, const std::string& AMailBoxPath,
                             const std::string& AMessageFile, bool& ACanLoad);
  virtual void DoStoreError(const std::exception& E);

 private:
  void LoadMailBox(TqvPop3CommandConnection* AConnection, TqvPop3MessageList& AMailBox);
  void RetrieveMessage(TqvPop3CommandConnection* AConnection, int AMessageNo, TStrings& AMessage, bool& Success);
  void OpenMessage(TqvPop3CommandConnection* AConnection, int AMessageNo, std::unique_ptr<TStream>& AStream,
                   bool& Success);
  void DeleteMarkedMessages(TqvPop3CommandConnection* AConnection);
  // The user's account folder, opened without following a link; empty when
  // the name is unsafe or the folder is missing. Raises for a link.
  [[nodiscard]] TqvStoreFolder OpenUserFolder(const std::string& AUserName) const;
  // The same, with a failure told to OnStoreError and an empty result.
  [[nodiscard]] TqvStoreFolder OpenUserFolderReported(const std::string& AUserName);
  // The folder of maildrop message AMessageNo and the file's name in it:
  // the session's folder while its path still leads to that very folder,
  // else opened afresh (and kept). Raises when the message or its folder is
  // gone. Valid until the session's next command.
  [[nodiscard]] const TqvStoreFolder& MessageFolder(TqvPop3CommandConnection* AConnection, int AMessageNo,
                                                    std::string& AName) const;

  std::string FMailBoxDir;
  mutable std::mutex FLock;  // guards FMailBoxDir
};
