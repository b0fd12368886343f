// The IMAP4rev1 server: tagged command lines, the three connection states
// (not authenticated, authenticated, selected), LOGIN, AUTHENTICATE CRAM-MD5
// and NTLM, CAPABILITY, STARTTLS, NOOP, CHECK, LOGOUT, and the mailbox
// commands LIST, LSUB, CREATE, DELETE, RENAME, SUBSCRIBE, UNSUBSCRIBE,
// SELECT, EXAMINE, STATUS and APPEND (qvImap4MailBoxCommands.cpp), and the
// message commands FETCH, STORE, COPY, SEARCH, EXPUNGE, CLOSE and the UID
// forms (qvImap4MessageCommands.cpp). After EXAMINE nothing changes a flag or
// deletes a message; CLOSE there only deselects. The server
// keeps no mail: every mailbox and message operation is an event, which a
// store answers (see qvImap4FileHandler.h) with the records of
// qvImap4Records.h; it only keeps FETCH answers by
// the store's ContentKey (qvImap4FetchCache.h). A command's reply lines leave
// in one write (a FETCH answer in pieces of kFetchPieceBytes), and
// connections send without Nagle's delay. Mailbox names reach the events
// decoded to UTF-8 and path-safe (no empty, "." or ".." level, no "\", NUL or
// control character, no leading or trailing separator); unsafe names are
// refused before any event fires. Events run on the pool worker that runs the
// command, one command at a time per connection; the store serialises itself.
// Every `Success` is true on entry. Protocol refusals are EqvImap4ServerError,
// whose message is the whole reply line. Logging hosts: log MaskedParams()
// (LOGIN's password and every AUTHENTICATE continuation are masked).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "StringList.h"
#include "qvImapUtils.h"
#include "qvImap4Records.h"
#include "qvImap4SessionView.h"
#include "qvMailUserMgr.h"
#include "qvServerSasl.h"
#include "qvTcpCommandServer.h"

class TqvNtAuthServerSspi;
class TqvImap4CommandConnection;
class TqvSaslServerExchange;
class TqvImap4FetchCache;
class TqvImap4FetchList;

// ---- Records of the server alone ----

// The record of SELECT, EXAMINE and STATUS, with the number of unseen ones.
class TqvImap4ServerMailBoxInfo : public TqvImap4MailBoxInfo {
 public:
  TqvImap4ServerMailBoxInfo() { Clear(); }
  VX_CLASS_NAME("TqvImap4ServerMailBoxInfo")
  void Clear() override;
  void Assign(const TqvImap4MailBoxInfo& ASource) override;
  int UnseenCount = 0;
};

// The APPEND waiting for its literal.
class TqvAppendMessageInfo : public TObject {
 public:
  VX_CLASS_NAME("TqvAppendMessageInfo")
  TDateTime Date = 0;
  std::string MailBox;  // decoded
  TqvMailMessageFlags Flags = 0;
};

// ---- Commands, errors, connections ----

enum TqvImap4AuthMode { imUseIMAPLogin, imUseSASL, imUseBoth };

// A command's refusal: Message is the whole reply line ("a1 NO ..."),
// ErrorCode -1.
class EqvImap4ServerError : public EqvTcpCommandServerError {
 public:
  EqvImap4ServerError(std::string ACommand, std::string ATag, const std::string& AKind, const std::string& AText)
      : EqvTcpCommandServerError(std::move(ACommand), ATag + " " + AKind + " " + AText, -1), Tag(std::move(ATag)) {}
  VX_CLASS_NAME("EqvImap4ServerError")
  std::string Tag;
};

// A command line: "tag COMMAND params", "tag UID COMMAND params", or one word.
class TqvImap4CommandParams : public TqvTcpCommandParams {
 public:
  VX_CLASS_NAME("TqvImap4CommandParams")
  void Parse(const std::string& ALine) override;
  void InitFromLine(const TqvProcessLineContext& AContext) override;
  void InitFromLines(const TqvProcessMultiLineContext& AContext) override;
  std::string Tag;
};

// A command handler; continuations (AUTHENTICATE, APPEND) carry their tag.
class TqvImap4CommandInfo : public TqvTcpCommandInfo {
 public:
  using THandler = std::function<void(TqvImap4CommandConnection*, TqvImap4CommandParams*)>;
  TqvImap4CommandInfo(std::string AName, THandler AHandler, std::string ATag = {})
      : TqvTcpCommandInfo(std::move(AName)), Handler(std::move(AHandler)), Tag(std::move(ATag)) {}
  VX_CLASS_NAME("TqvImap4CommandInfo")
  void Execute(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) override;
  THandler Handler;
  std::string Tag;
};

class TqvImap4CommandConnection : public TqvCommandConnection {
 public:
  TqvImap4CommandConnection();
  ~TqvImap4CommandConnection() override;
  VX_CLASS_NAME("TqvImap4CommandConnection")

  // 0 not authenticated, 1 authenticated, 2 selected.
  [[nodiscard]] uint8_t State() const { return FState; }
  // After login the account's own user name: the store's folder name.
  [[nodiscard]] const std::string& UserName() const { return FUserName; }
  // Decoded (UTF-8) name of the selected mailbox; "" when none.
  [[nodiscard]] const std::string& SelectedMailBox() const { return FSelectedMailBox; }
  [[nodiscard]] bool ReadOnly() const { return FReadOnly; }
  // What the session has been told of its selected mailbox.
  [[nodiscard]] const TqvImap4SessionView& View() const { return FView; }
  // The UID a store's OnAppendMessage gave the new message, on disk before
  // the event returned (-1: none given); cleared before each append.
  int64_t AppendedUid = -1;
  // Set by APPEND while this session appends to the mailbox it has selected
  // read-write: it is the first told of the message, so the store keeps no
  // \Recent for another session to take (and needs no second write to clear it).
  bool AppendTakesRecent = false;

 private:
  friend class TqvImap4Server;
  uint8_t FState = 0;
  std::string FUserName;
  std::string FSelectedMailBox;
  bool FReadOnly = false;
  TqvImap4SessionView FView;
  std::unique_ptr<TqvSaslServerExchange> FSasl;
  std::unique_ptr<TqvAppendMessageInfo> FAppendInfo;
  // A command line read so far while its literals come in.
  std::string FLiteralLine;
  // UIDs whose \Recent this session took when it gave them (its SELECT or
  // APPEND), for its view to mark when it hears of them.
  std::vector<int64_t> FClaimed;
};

using TqvImap4CreateUserAccountEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, const std::string& AUserName,
                       std::unique_ptr<TqvMailUserAccountItem>& Account)>;
using TqvImap4AuthenticateEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                       const std::string& AUserName, bool& IsAuthorized, bool& Handled)>;
using TqvImap4ConnectionEvent = std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection)>;
// An empty ASelectedMailBox asks for every mailbox of the user; a name for
// that one (zero or one item).
using TqvImap4GetMailBoxesEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, const std::string& ASelectedMailBox,
                       TqvImap4MailBoxList& AMailBoxes)>;
using TqvImap4UpdateMailBoxEvent = std::function<void(
    TObject* Sender, TqvImap4CommandConnection* AConnection, TqvImap4MailBoxItem& AMailBox, bool& Success)>;
using TqvImap4MailBoxEvent = std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection,
                                                const std::string& AMailBox, bool& Success)>;
using TqvImap4RenameMailBoxEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, const std::string& ACurrentName,
                       const std::string& ANewName, bool& Success)>;
using TqvImap4MessagesEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages,
                       const std::string& AMailBox, bool& Success)>;
using TqvImap4MessageEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvImap4MessageItem& AMessage,
                       const std::string& AMailBox, bool& Success)>;
using TqvImap4GetMessageSourceEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, TStrings& AMessageSource,
                       const std::string& AMessageName, const std::string& AMailBox, bool& Success)>;
using TqvImap4SearchMessageEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvImap4MessageItem& AMessage,
                       TStrings& AMessageSource, bool& Matches, bool& Handled)>;
using TqvImap4AppendMessageEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvMailMessageFlags AFlags,
                       TDateTime ADate, const TStrings& AMessageSource, const std::string& AMailBox,
                       bool& Success)>;
// APPEND of a literal larger than the spool threshold: a spool for it in the
// mailbox's folder (left null: the APPEND is refused before the literal),
// and the message stored from it (ASpool.StageCopy). Without
// OnAppendSpooledMessage the literal is read back for OnAppendMessage.
using TqvImap4CreateSpoolEvent = std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection,
                                                    const std::string& AMailBox, std::unique_ptr<TqvMessageSpool>& ASpool)>;
using TqvImap4AppendSpooledMessageEvent =
    std::function<void(TObject* Sender, TqvImap4CommandConnection* AConnection, TqvMailMessageFlags AFlags,
                       TDateTime ADate, TqvMessageSpool& ASpool, const std::string& AMailBox, bool& Success)>;

class TqvImap4Server : public TqvTcpCommandServer {
 public:
  // RFC 3501 5.4: at least 30 minutes before an idle session is logged out.
  static constexpr int kSessionTimeOutMs = 30 * 60 * 1000;
  // A FETCH answer is handed to the connection in pieces of about this size.
  static constexpr int64_t kFetchPieceBytes = 64 * 1024;
  // The most the FETCH answers kept for reuse hold.
  static constexpr size_t kFetchCacheBytes = 32 * 1024 * 1024;

  explicit TqvImap4Server(TComponent* AOwner = nullptr);
  ~TqvImap4Server() override;
  VX_CLASS_NAME("TqvImap4Server")

  TqvImap4AuthMode UseAuth() const { return FUseAuth; }
  void SetUseAuth(TqvImap4AuthMode Value) { FUseAuth = Value; }
  TqvServerSaslFlags SaslFlags() const { return FSaslFlags; }
  void SetSaslFlags(TqvServerSaslFlags Value) { FSaslFlags = Value; }
  TqvMailUserAccountList& UserAccounts() { return *FUserAccounts; }
  // Copies the items and the case rule.
  void SetUserAccounts(const TqvUserAccountList& Value) { FUserAccounts->Assign(Value); }
  bool CaseInsensitive() const { return FUserAccounts->CaseInsensitive(); }
  void SetCaseInsensitive(bool Value) { FUserAccounts->SetCaseInsensitive(Value); }
  // Extra words of the CAPABILITY line, sent as they are.
  TStrings& Capabilities() { return *FCapabilities; }
  void SetCapabilities(const TStrings& Value) { FCapabilities->Assign(Value); }
  char MailBoxSeparator() const { return FMailBoxSeparator; }
  void SetMailBoxSeparator(char Value) { FMailBoxSeparator = Value; }
  // Host part of the CRAM-MD5 challenge; "" = this machine's name.
  const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& Value) { FHostName = Value; }

  TqvImap4CreateUserAccountEvent OnCreateUserAccount;
  TqvImap4AuthenticateEvent OnAuthenticate;
  TqvImap4ConnectionEvent OnStateChanged;
  TqvImap4GetMailBoxesEvent OnGetMailBoxes;
  TqvImap4UpdateMailBoxEvent OnUpdateMailBox;
  TqvImap4MailBoxEvent OnCreateMailBox;
  TqvImap4MailBoxEvent OnDeleteMailBox;
  TqvImap4RenameMailBoxEvent OnRenameMailBox;
  TqvImap4MessagesEvent OnGetMessages;
  TqvImap4MessagesEvent OnUpdateMessages;
  TqvImap4MessageEvent OnDeleteMessage;
  TqvImap4GetMessageSourceEvent OnGetMessageSource;
  TqvImap4SearchMessageEvent OnSearchMessage;
  TqvImap4AppendMessageEvent OnAppendMessage;
  TqvImap4CreateSpoolEvent OnCreateSpool;
  TqvImap4AppendSpooledMessageEvent OnAppendSpooledMessage;

 protected:
  // The CRAM-MD5 challenge text; a test seam.
  [[nodiscard]] virtual std::string GenerateChallenge();
  virtual void DoCreateUserAccount(TqvImap4CommandConnection* AConnection, const std::string& AUserName,
                                   std::unique_ptr<TqvMailUserAccountItem>& Account);
  virtual void DoAuthenticate(TqvImap4CommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                              const std::string& AUserName, bool& IsAuthorized, bool& Handled);
  virtual void DoStateChanged(TqvImap4CommandConnection* AConnection);
  virtual void DoGetMailBoxes(TqvImap4CommandConnection* AConnection, const std::string& ASelectedMailBox,
                              TqvImap4MailBoxList& AMailBoxes);
  virtual void DoUpdateMailBox(TqvImap4CommandConnection* AConnection, TqvImap4MailBoxItem& AMailBox,
                               bool& Success);
  virtual void DoCreateMailBox(TqvImap4CommandConnection* AConnection, const std::string& AMailBox, bool& Success);
  virtual void DoDeleteMailBox(TqvImap4CommandConnection* AConnection, const std::string& AMailBox, bool& Success);
  virtual void DoRenameMailBox(TqvImap4CommandConnection* AConnection, const std::string& ACurrentName,
                               const std::string& ANewName, bool& Success);
  virtual void DoGetMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages,
                             const std::string& AMailBox, bool& Success);
  virtual void DoUpdateMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages,
                                const std::string& AMailBox, bool& Success);
  virtual void DoDeleteMessage(TqvImap4CommandConnection* AConnection, TqvImap4MessageItem& AMessage,
                               const std::string& AMailBox, bool& Success);
  virtual void DoGetMessageSource(TqvImap4CommandConnection* AConnection, TStrings& AMessageSource,
                                  const std::string& AMessageName, const std::string& AMailBox, bool& Success);
  // Called by SEARCH for each message only while OnSearchMessage is set.
  virtual void DoSearchMessage(TqvImap4CommandConnection* AConnection, TqvImap4MessageItem& AMessage,
                               TStrings& AMessageSource, bool& Matches, bool& Handled);
  virtual void DoAppendMessage(TqvImap4CommandConnection* AConnection, TqvMailMessageFlags AFlags, TDateTime ADate,
                               const TStrings& AMessageSource, const std::string& AMailBox, bool& Success);

  void DoAcceptConnection(TqvUserConnection* AConnection, bool& Handled) override;
  TqvUserConnectionPtr CreateDefaultConnection() override;
  void AddCommands() override;
  std::unique_ptr<TqvTcpCommandInfo> CreateUnknownCommandInfo(TqvTcpCommandParams* AParams) override;
  void DoCommandError(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                      const std::exception& E) override;
  void DoCreateCommandParams(TqvCommandConnection* AConnection,
                             std::unique_ptr<TqvTcpCommandParams>& AParams) override;

 private:
  using TCommandEntry = TqvCommandEntry<TqvImap4Server, TqvImap4CommandConnection, TqvImap4CommandParams>;
  static const TCommandEntry kCommands[];
  static const TqvCommandMasks kCommandMasks;
  [[noreturn]] void RefuseCommand(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                                  TqvCommandRefusal AWhy, TqvCommandStates AStates) override;
  bool StartCommandData(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) override;
  [[nodiscard]] std::string LocalHost() const;

  // Replies.
  void SendTagged(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams, const std::string& AText);
  void SendUntagged(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams, const std::string& AText);
  // The reply lines of one command (untagged "* ..." or tagged, as built by
  // UntaggedLine and TaggedLine) after the raw bytes in APending, in one write:
  // each line fires the response event as SendResponse does, in order, and
  // the bytes are those SendResponse would send. APending is empty afterwards.
  void SendRepliesAfter(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                        std::string& APending, std::initializer_list<std::string> ALines);
  void SendRepliesAfter(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                        std::string& APending, const std::vector<std::string>& ALines);
  // The untagged updates of the selected mailbox (ViewUpdates), then the
  // tagged AText, after APending, in one write.
  void SendTaggedWithUpdates(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                             const std::string& AText, std::string& APending);
  // The same after one untagged line of the command's own.
  void SendUntaggedAndTagged(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                             const std::string& AUntagged, const std::string& AText);
  void SendTaggedWithUpdates(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                             const std::string& AText) {
    std::string none;
    SendTaggedWithUpdates(AConnection, AParams, AText, none);
  }
  [[nodiscard]] static std::string TaggedLine(const TqvImap4CommandParams* AParams, const std::string& AText);
  [[nodiscard]] static std::string UntaggedLine(const std::string& AText) { return "* " + AText; }

  // Sessions and login (qvImap4Server.cpp).
  // OnCreateUserAccount's account, else the list's; empty for an empty name.
  [[nodiscard]] TqvMailUserAccountWrapper LookupAccount(TqvImap4CommandConnection* AConnection,
                                                        const std::string& AUserName);
  void ChangeState(TqvImap4CommandConnection* AConnection, uint8_t AState);
  void ResetConnection(TqvImap4CommandConnection* AConnection);
  // The login outcome for every path; throws "<Command> failed" when refused.
  void FinishLogin(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                   const std::string& AUserName, bool AAuthorized, const TqvMailUserAccountItem* AAccount);
  // Literals of ordinary arguments (RFC 3501 4.3): a line ending in "{n}"
  // gets "+ " and waits for its n bytes and the rest of the line; the whole
  // then runs as one command, each literal standing as a quoted string. The
  // line and its literals stay within qvMaxCommandLineBytes. False for a
  // line with no literal, and for APPEND's message, which CmdAppend reads.
  bool StartLiteral(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void LiteralArrived(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void LiteralLineEnded(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void DoMaxDataSizeExceeded(TqvCommandConnection* AConnection, bool& Handled) override;
  void DoSessionTimeOut(TqvUserConnection* AConnection) override;
  void CmdLogin(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdAuthenticate(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void AuthStep(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void ExpectAuthLine(TqvImap4CommandConnection* AConnection, const std::string& ATag);
  void CmdCapability(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdNoop(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdCheck(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdNamespace(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdStartTls(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdLogout(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);

  // The session's view of its selected mailbox (qvImap4Server.cpp).
  // The lines that bring the view up to the store at the end of AParams'
  // command: EXPUNGE only where RFC 3501 allows it (not after FETCH, STORE or
  // SEARCH, but after their UID forms); nothing outside the selected state.
  [[nodiscard]] std::vector<std::string> ViewUpdates(TqvImap4CommandConnection* AConnection,
                                                     TqvImap4CommandParams* AParams);
  void SyncView(TqvImap4CommandConnection* AConnection, bool AExpunge, bool AWithUid,
                std::vector<std::string>& ALines);
  // Under the claim lock, AStored read anew: new messages get their UIDs,
  // and a read-write session takes the \Recent of those new to its view
  // (AClaimed, ascending), so that each is recent in one session only.
  void ClaimNewMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AStored,
                        std::vector<int64_t>& AClaimed);
  // The selected mailbox's messages as the session numbers them: AStored
  // itself when it holds exactly the view's messages, else AOwn filled with
  // copies in view order, a message gone from the store standing in with
  // its UID, its last reported flags and no Name. Either way position i is
  // view entry i and SequenceNumber i + 1.
  TqvImap4MessageList& SessionMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AStored,
                                       TqvImap4MessageList& AOwn);
  // Messages without a UID get one from AItem's UIDNext (which grows) and
  // the store's \Recent, or, with AClaim, no \Recent in the store and
  // their UIDs in AConnection's FClaimed: the session that gives them is the
  // first told of them. The store keeps them. AGiven as LoadMailBoxInfo's.
  void AssignUids(TqvImap4CommandConnection* AConnection, TqvImap4MailBoxItem& AItem,
                  TqvImap4MessageList& AMessages, std::vector<std::pair<std::string, int64_t>>* AGiven,
                  bool AClaim = false);

  // Mailbox commands (qvImap4MailBoxCommands.cpp).
  // The decoded, path-safe name of a mailbox argument; raises the command's
  // own refusal (ARefusal) for an unsafe one.
  [[nodiscard]] std::string MailBoxArgument(TqvImap4CommandParams* AParams, const std::string& AWord,
                                            const std::string& ARefusal) const;
  // The items the store gives for one name.
  [[nodiscard]] std::unique_ptr<TqvImap4MailBoxList> FindMailBoxes(TqvImap4CommandConnection* AConnection,
                                                                   const std::string& AName);
  // Loads the messages, assigns UIDs and \Recent, counts; raises NO on failure.
  // AGiven, when set, receives the name and UID of every message that got its
  // UID in this call.
  void LoadMailBoxInfo(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                       TqvImap4MailBoxItem& AItem, TqvImap4ServerMailBoxInfo& AInfo,
                       std::vector<std::pair<std::string, int64_t>>* AGiven = nullptr, bool AClaim = false);
  void CmdList(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdCreate(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdDelete(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdRename(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdSubscribe(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdSelect(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdStatus(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdAppend(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void AppendLiteral(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);

  // Message commands of the selected mailbox (qvImap4MessageCommands.cpp).
  // The selected mailbox's one store item, or a refusal NO ANoMailBox; then
  // its messages (store order) into AMessages, or NO ANoMessages.
  void LoadSelected(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                    TqvImap4MessageList& AMessages, const std::string& ANoMailBox, const std::string& ANoMessages);
  // OnUpdateMessages once for the messages of AMessages (a view), which is
  // empty afterwards: one write of the store for a whole command. Its Success.
  bool UpdateMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages);
  // The answers of AItems' items that come from AMessage's bytes, by index
  // (others ""), from the answer cache or else from the store's source;
  // false when the store could not give it.
  bool FetchSourceItems(TqvImap4CommandConnection* AConnection, const TqvImap4FetchList& AItems,
                        const TqvImap4MessageItem& AMessage,
                        std::vector<std::shared_ptr<const std::string>>& AAnswers);
  void CmdFetch(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdStore(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdCopy(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdSearch(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);
  void CmdExpunge(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams);

  TqvImap4AuthMode FUseAuth = imUseBoth;
  TqvServerSaslFlags FSaslFlags = SaslFlag(ssUseCramMD5) | SaslFlag(ssUseNTLM);
  std::unique_ptr<TqvMailUserAccountList> FUserAccounts;
  std::unique_ptr<TStringList> FCapabilities;
  char FMailBoxSeparator = '/';
  std::string FHostName;
  // Taken while new messages get UIDs and a session takes their \Recent.
  std::mutex FClaimLock;
  // FETCH answers shared by the sessions (kFetchCacheBytes at most).
  std::unique_ptr<TqvImap4FetchCache> FFetchCache;
};
