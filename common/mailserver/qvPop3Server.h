// The POP3 server: greeting with an APOP time stamp, login by USER/PASS, APOP
// or AUTH (CRAM-MD5, NTLM), the transaction commands over a per-connection
// maildrop, deletion at QUIT, STLS. The maildrop is not stored here: the
// store binds to OnMailBoxInfo, OnRetrieve, OnOpenMessage and OnStateChanged
// (see qvPop3FileHandler.h). RETR and TOP stream a message that
// OnOpenMessage opens, so their memory does not grow with the message. Owns its accounts (copied in) and help text; set the
// properties before Start. Commands run on pool workers, one at a time per
// connection; every state change and the maildrop lock test run under the
// server lock, and OnStateChanged fires inside it; a handler leaves its file
// work (the store's deletions at UPDATE) to AfterStateChange, which runs once
// the lock is released, so no other connection waits for the disk. Command errors are EqvPop3ServerError ("-ERR ..." reply).
// Logging hosts: PASS parameters and every AUTH continuation line carry
// credentials, and an APOP digest can be attacked offline next to the logged
// greeting. OnReceiveCommand hands them over unmasked; log MaskedParams()
// (the command framework's) instead of Params. Single-line replies (OnSendResponse) carry no secret.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StringList.h"
#include "qvMailUserMgr.h"
#include "qvServerSasl.h"
#include "qvTcpCommandServer.h"

class TqvPop3CommandConnection;

enum TqvPop3AuthMode { pmUsePOPAuth, pmUseSASL, pmUseBoth };
enum TqvPop3State { psAuthorization, psTransaction, psUpdate };

class TqvPop3MessageItem : public TObject {
 public:
  TqvPop3MessageItem(std::string AUID, int64_t ASize) : Size(ASize), UID(std::move(AUID)) {}
  VX_CLASS_NAME("TqvPop3MessageItem")
  bool Deleted = false;
  int64_t Size = 0;  // octets
  std::string UID;
};

// A maildrop in maildrop order; messages are numbered from 1.
class TqvPop3MessageList {
 public:
  // Takes the item; the list owns it.
  TqvPop3MessageItem* Add(std::unique_ptr<TqvPop3MessageItem> AItem);
  void Clear() { FItems.clear(); }
  // 0-based; raises EListError out of range.
  [[nodiscard]] TqvPop3MessageItem* Items(int AIndex) const;
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  [[nodiscard]] int ActiveCount() const;
  [[nodiscard]] int64_t ActiveSize() const;
  // 1 <= ANumber <= Count and not marked deleted.
  [[nodiscard]] bool IsValid(int64_t ANumber) const;
  void MarkDeleted(int ANumber) { FItems[static_cast<size_t>(ANumber - 1)]->Deleted = true; }
  void UnmarkAll();

 private:
  std::vector<std::unique_ptr<TqvPop3MessageItem>> FItems;
};

// A command's reply: Message is the complete "-ERR ..." line, ErrorCode -1.
class EqvPop3ServerError : public EqvTcpCommandServerError {
 public:
  EqvPop3ServerError(std::string ACommand, const std::string& AText, bool ACloseConnection = false)
      : EqvTcpCommandServerError(std::move(ACommand), ACloseConnection, -1, "-ERR " + AText) {}
  VX_CLASS_NAME("EqvPop3ServerError")
};

class TqvPop3CommandConnection : public TqvCommandConnection {
 public:
  TqvPop3CommandConnection();
  ~TqvPop3CommandConnection() override;
  VX_CLASS_NAME("TqvPop3CommandConnection")

  // Read from any thread; written only under the server lock.
  [[nodiscard]] TqvPop3State State() const { return FState.load(); }
  [[nodiscard]] const std::string& TimeStamp() const { return FTimeStamp; }
  // After login the account's own spelling: the maildrop's name.
  [[nodiscard]] const std::string& UserName() const { return FUserName; }
  // The connection's own list; valid while the connection lives.
  [[nodiscard]] TqvPop3MessageList& MailBox() { return *FMailBox; }
  // True while a continuation line of AUTH is expected.
  [[nodiscard]] bool InAuthExchange() const { return FInAuthExchange.load(); }
  // For an OnStateChanged handler, which runs under the server lock: work
  // that must not hold that lock (file I/O, such as the deletions at
  // UPDATE). It runs on the same thread, in the order given, as soon as the
  // state change has released the lock, and before the command goes on; a
  // state change that fails drops it unrun.
  void AfterStateChange(std::function<void()> AWork) { FAfterStateChange.push_back(std::move(AWork)); }
  // For that work at UPDATE: some messages marked deleted stay, so QUIT
  // answers "-ERR some deleted messages not removed" (RFC 1939 section 6).
  void SetRemovalFailed() { FRemovalFailed = true; }
  [[nodiscard]] bool RemovalFailed() const { return FRemovalFailed; }
  // The store's own state for this session (the file store keeps the
  // account folder it opened here); used on the session's commands only,
  // released with the connection.
  std::shared_ptr<void> StoreState;

 private:
  friend class TqvPop3Server;
  std::atomic<TqvPop3State> FState{psAuthorization};
  std::string FLockedUser;  // under the server lock: the name while in TRANSACTION
  std::string FTimeStamp;
  std::string FUserName;
  std::unique_ptr<TqvSaslServerExchange> FSasl;  // a CRAM-MD5 or NTLM exchange under way
  std::unique_ptr<TqvPop3MessageList> FMailBox;
  std::atomic<bool> FInAuthExchange{false};
  std::vector<std::function<void()>> FAfterStateChange;
  bool FRemovalFailed = false;
};

using TqvPop3CreateUserAccountEvent =
    std::function<void(TObject* Sender, TqvPop3CommandConnection* AConnection, const std::string& AUserName,
                       std::unique_ptr<TqvMailUserAccountItem>& Account)>;
using TqvPop3AuthenticateEvent =
    std::function<void(TObject* Sender, TqvPop3CommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                       const std::string& AUserName, bool& IsAuthorized, bool& Handled)>;
using TqvPop3MailBoxEvent =
    std::function<void(TObject* Sender, TqvPop3CommandConnection* AConnection, TqvPop3MessageList& AMailBox)>;
using TqvPop3RetrieveEvent = std::function<void(TObject* Sender, TqvPop3CommandConnection* AConnection,
                                                int AMessageNo, TStrings& AMessage, bool& Success)>;
// The streaming road of RETR and TOP: the message's stored bytes from their
// start. A handler that sets AStream has the command send the message from
// it piece by piece; one that leaves it null leaves the command to
// OnRetrieve. Success false answers "no such message".
using TqvPop3OpenMessageEvent = std::function<void(TObject* Sender, TqvPop3CommandConnection* AConnection,
                                                   int AMessageNo, std::unique_ptr<TStream>& AStream,
                                                   bool& Success)>;
using TqvPop3DeleteEvent = std::function<void(TObject* Sender, TqvPop3CommandConnection* AConnection,
                                              int AMessageNo, bool& ACanDelete)>;
using TqvPop3ConnectionEvent = std::function<void(TObject* Sender, TqvPop3CommandConnection* AConnection)>;

class TqvPop3Server : public TqvTcpCommandServer {
 public:
  explicit TqvPop3Server(TComponent* AOwner = nullptr);
  ~TqvPop3Server() override;
  VX_CLASS_NAME("TqvPop3Server")

  TqvPop3AuthMode UseAuth() const { return FUseAuth; }
  void SetUseAuth(TqvPop3AuthMode Value) { FUseAuth = Value; }
  TqvServerSaslFlags SaslFlags() const { return FSaslFlags; }
  void SetSaslFlags(TqvServerSaslFlags Value) { FSaslFlags = Value; }
  TqvMailUserAccountList& UserAccounts() { return *FUserAccounts; }
  // Copies the items and the case rule.
  void SetUserAccounts(const TqvUserAccountList& Value) { FUserAccounts->Assign(Value); }
  bool CaseInsensitive() const { return FUserAccounts->CaseInsensitive(); }
  void SetCaseInsensitive(bool Value) { FUserAccounts->SetCaseInsensitive(Value); }
  TStrings& HelpText() { return *FHelpText; }
  void SetHelpText(const TStrings& Value) { FHelpText->Assign(Value); }
  const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& Value) { FHostName = Value; }

  TqvPop3CreateUserAccountEvent OnCreateUserAccount;
  TqvPop3AuthenticateEvent OnAuthenticate;
  TqvPop3MailBoxEvent OnMailBoxInfo;
  TqvPop3RetrieveEvent OnRetrieve;
  // Used by RETR and TOP before OnRetrieve, when the response charset is empty.
  TqvPop3OpenMessageEvent OnOpenMessage;
  TqvPop3DeleteEvent OnDelete;
  TqvPop3ConnectionEvent OnStateChanged;
  TqvPop3ConnectionEvent OnReset;

 protected:
  // "<...@host>" for the greeting and APOP; test seams both.
  [[nodiscard]] virtual std::string GenerateTimeStamp();
  [[nodiscard]] virtual std::string GenerateChallenge();
  virtual void DoCreateUserAccount(TqvPop3CommandConnection* AConnection, const std::string& AUserName,
                                   std::unique_ptr<TqvMailUserAccountItem>& Account);
  virtual void DoAuthenticate(TqvPop3CommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                              const std::string& AUserName, bool& IsAuthorized, bool& Handled);
  virtual void DoMailBoxInfo(TqvPop3CommandConnection* AConnection, TqvPop3MessageList& AMailBox);
  virtual void DoRetrieve(TqvPop3CommandConnection* AConnection, int AMessageNo, TStrings& AMessage,
                          bool& Success);
  virtual void DoOpenMessage(TqvPop3CommandConnection* AConnection, int AMessageNo,
                             std::unique_ptr<TStream>& AStream, bool& Success);
  virtual void DoDelete(TqvPop3CommandConnection* AConnection, int AMessageNo, bool& ACanDelete);
  virtual void DoStateChanged(TqvPop3CommandConnection* AConnection);
  virtual void DoReset(TqvPop3CommandConnection* AConnection);

  // The TLS path, kept to these two: true when the connection runs over TLS;
  // and marking it for the switch after the next reply.
  [[nodiscard]] virtual bool IsConnectionSecured(TqvPop3CommandConnection* AConnection);
  virtual void BeginTlsSwitch(TqvPop3CommandConnection* AConnection);

  void DoAcceptConnection(TqvUserConnection* AConnection, bool& Handled) override;
  void DoCloseConnection(TqvUserConnection* AConnection) override;
  TqvUserConnectionPtr CreateDefaultConnection() override;
  void AddCommands() override;
  std::unique_ptr<TqvTcpCommandInfo> CreateUnknownCommandInfo(TqvTcpCommandParams* AParams) override;
  void DoCommandError(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                      const std::exception& E) override;
  [[nodiscard]] bool MustSwitchToTlsFirst(TqvCommandConnection* AConnection) override;
  [[noreturn]] void RefuseCommand(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                                  TqvCommandRefusal AWhy, TqvCommandStates AStates) override;

 private:
  using TCommandEntry = TqvCommandEntry<TqvPop3Server, TqvPop3CommandConnection>;
  using THandler = TCommandEntry::THandler;
  // The command table: each command's handler, the state it needs, whether
  // it waits for STLS when TLS is required, and its log masking.
  static const TCommandEntry kCommands[];
  static const TqvCommandMasks kCommandMasks;
  [[nodiscard]] std::string LocalHost() const;
  // Under the server lock: fires OnStateChanged, refuses a locked maildrop;
  // then, without the lock, the work the handler left (AfterStateChange).
  void SetState(TqvPop3CommandConnection* AConnection, TqvPop3State AState, const std::string& ACommand);
  // The part of SetState under the lock.
  void ChangeState(TqvPop3CommandConnection* AConnection, TqvPop3State AState, const std::string& ACommand);
  // AUTHORIZATION without an event; the greeting's stamp stays for APOP.
  void ResetConnection(TqvPop3CommandConnection* AConnection);
  // The login outcome for every kind; ACheck is the server's own password test.
  void Login(TqvPop3CommandConnection* AConnection, const std::string& ACommand, const std::string& AUserName,
             const std::function<bool(const TqvUserAccountItem&)>& ACheck, bool ANtlm);
  [[nodiscard]] int MessageNumber(TqvPop3CommandConnection* AConnection, const std::string& AText,
                                  const std::string& ACommand) const;
  void SendStatLine(TqvPop3CommandConnection* AConnection, const std::string& ACommand);

  void CmdUser(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdPass(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdApop(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdAuth(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  // CRAM-MD5 and NTLM lines through the shared engine.
  void SaslStep(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void ExpectAuthLine(TqvPop3CommandConnection* AConnection, THandler AStep);
  [[noreturn]] void AbortAuth(TqvPop3CommandConnection* AConnection);
  void CmdNoop(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdQuit(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdRset(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdStat(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdRetr(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdTop(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdDele(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdList(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdUidl(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdStls(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdHelp(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams);
  // RETR (ABodyLines < 0) or TOP sent from OnOpenMessage's stream; false
  // when no handler gave one. Raises "no such message".
  bool SendStreamed(TqvPop3CommandConnection* AConnection, int ANumber, const std::string& ACommand,
                    int64_t ABodyLines);
  // Loads message n for RETR and TOP; raises "no such message".
  [[nodiscard]] std::unique_ptr<TStrings> Retrieve(TqvPop3CommandConnection* AConnection, int ANumber,
                                                   const std::string& ACommand);

  TqvPop3AuthMode FUseAuth = pmUseBoth;
  TqvServerSaslFlags FSaslFlags = SaslFlag(ssUseCramMD5) | SaslFlag(ssUseNTLM);
  std::unique_ptr<TqvMailUserAccountList> FUserAccounts;
  std::unique_ptr<TStringList> FHelpText;
  std::string FHostName;
};
