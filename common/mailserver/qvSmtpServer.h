// The SMTP server: a line-command server that keeps one envelope per
// connection (state, HELO domain, sender, recipients), authenticates with
// AUTH LOGIN, CRAM-MD5 and NTLM (qvSmtpAuth.cpp), applies the relay rule to
// each recipient, adds the trace lines at the end of DATA and hands the
// message to its owner through events: once whole (OnMessageReceived), once
// for the recipients without an account (OnMessageRelayed) and once per local
// account (OnMessageDelivered, with "Return-path:" first); when one of these
// fails, the copies already stored for that message are taken back (see
// PlacedCopies) before the failure reply. A message larger than the spool
// threshold goes, while it arrives, to a spool the store opens for it
// (OnCreateSpool) in the folder of its first copy: the first local account
// in envelope order, else the relay queue. Its trace lines are then made when
// the spool is opened (their date is that moment), and it is stored through
// OnSpooledMessageRelayed and OnSpooledMessageDelivered; when OnMessageReceived
// is bound, or a lines event is bound without its spool event, the message
// is read back from the spool and goes on as lines. Every refusal is
// an EqvSmtpServerError whose message is the reply line. It owns its account
// list, help text and extensions; accounts an OnCreateUserAccount handler
// returns are freed after use. Commands and events run on pool workers under
// the connection's command lock; the account list is read without a lock and
// must only be replaced while the server is stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StringList.h"
#include "qvMailUserMgr.h"
#include "qvServerSasl.h"
#include "qvTcpCommandServer.h"

class TqvSmtpServer;

enum TqvSmtpMailFromAction { mfAccept, mfReject };
enum TqvSmtpRcptToAction {
  rtAddressOk,
  rtRelayDenied,
  rtBadAddress,
  rtForward,
  rtNotForward,
  rtTooManyAddresses,
  rtDisabled
};
enum TqvSmtpMailDataAction { mdOk, mdMailBoxFull, mdSystemFull, mdProcessingError, mdTransactionFailed };

// Session states.
constexpr uint8_t qvSmtpConnected = 0;
constexpr uint8_t qvSmtpGreeted = 1;
constexpr uint8_t qvSmtpSenderGiven = 2;
constexpr uint8_t qvSmtpRecipientGiven = 3;
constexpr uint8_t qvSmtpReceivingData = 4;

// A refusal: the message is "<code> <text>", the reply line.
class EqvSmtpServerError : public EqvTcpCommandServerError {
 public:
  EqvSmtpServerError(std::string ACommand, int ACode, const std::string& AText)
      : EqvTcpCommandServerError(std::move(ACommand), std::to_string(ACode) + " " + AText, ACode) {}
  VX_CLASS_NAME("EqvSmtpServerError")
};

class TqvSmtpCommandConnection : public TqvCommandConnection {
 public:
  TqvSmtpCommandConnection();
  ~TqvSmtpCommandConnection() override;
  VX_CLASS_NAME("TqvSmtpCommandConnection")

  [[nodiscard]] uint8_t State() const { return FState; }
  // Clears the HELO domain, the login and the challenge; state 0 without an
  // event. EHLO used stays.
  void LoginReset();
  // Clears the sender and the recipients.
  void EnvelopeReset();

  std::string HeloDomain;
  bool EhloUsed = false;
  bool Authenticated = false;
  std::string UserName;  // being or having been authenticated
  std::unique_ptr<TqvSaslServerExchange> Sasl;  // a CRAM-MD5 or NTLM exchange under way
  std::string MailFrom;
  TStringList Recipients;
  // What the store placed for the message being delivered, each entry the
  // step that takes one copy back. When a later copy fails the server runs
  // them, newest first, so a transaction is stored whole or not at all.
  std::vector<std::function<void()>> PlacedCopies;
  // What the store does once every copy of the message is stored (tell the
  // relay of its pair); dropped with the copies when one fails.
  std::vector<std::function<void()>> AfterStored;
  // The store's own state for this session (the file store keeps the
  // account folder it wrote to last); released with the connection.
  std::shared_ptr<void> StoreState;

 private:
  friend class TqvSmtpServer;
  uint8_t FState = qvSmtpConnected;
};

using TqvSmtpCreateUserAccountEvent =
    std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AUserName,
                       const std::string& AEmail, std::unique_ptr<TqvMailUserAccountItem>& Account)>;
// A handler may point Account at another account it keeps alive for the call.
using TqvSmtpAuthenticateEvent =
    std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                       const std::string& AUserName, bool& IsAuthorized, bool& Handled)>;
using TqvSmtpMailFromEvent = std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection,
                                                const std::string& AMailFrom, TqvSmtpMailFromAction& Action)>;
using TqvSmtpRecipientToEvent =
    std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& ARcptTo,
                       std::string& AForwardTo, TqvSmtpRcptToAction& Action)>;
// OnMessageReceived and OnMessageRelayed.
using TqvSmtpMessageReceivedEvent =
    std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                       const TStrings& ARecipients, TStrings& AMessage, TqvSmtpMailDataAction& Action)>;
using TqvSmtpMessageDeliveredEvent =
    std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                       const std::string& ARecipient, TqvMailUserAccountItem* Account, TStrings& AMessage,
                       TqvSmtpMailDataAction& Action)>;
using TqvSmtpConnectionEvent = std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection)>;
// A spool for the first copy of a message: in Account's mailbox folder, or
// in the relay queue when Account is null, starting with APrefix. Leaving
// ASpool null refuses (the message is skipped and answered 451).
using TqvSmtpCreateSpoolEvent =
    std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem* Account,
                       const std::string& APrefix, std::unique_ptr<TqvMessageSpool>& ASpool)>;
// As OnMessageRelayed and OnMessageDelivered, for a spooled message; the
// copy is ASpool.StageCopy, whose CopyPrefix the server has set.
using TqvSmtpSpooledRelayedEvent =
    std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                       const TStrings& ARecipients, TqvMessageSpool& ASpool, TqvSmtpMailDataAction& Action)>;
using TqvSmtpSpooledDeliveredEvent =
    std::function<void(TObject* Sender, TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                       const std::string& ARecipient, TqvMailUserAccountItem* Account, TqvMessageSpool& ASpool,
                       TqvSmtpMailDataAction& Action)>;

class TqvSmtpServer : public TqvTcpCommandServer {
 public:
  explicit TqvSmtpServer(TComponent* AOwner = nullptr);
  ~TqvSmtpServer() override;
  VX_CLASS_NAME("TqvSmtpServer")

  // Assign copies the accounts and their case flag.
  [[nodiscard]] TqvMailUserAccountList& UserAccounts() { return FUserAccounts; }
  void SetUserAccounts(const TqvMailUserAccountList& Value) { FUserAccounts.Assign(Value); }
  [[nodiscard]] bool CaseInsensitive() const { return FUserAccounts.CaseInsensitive(); }
  void SetCaseInsensitive(bool Value) { FUserAccounts.SetCaseInsensitive(Value); }
  [[nodiscard]] bool UseAuth() const { return FUseAuth; }
  void SetUseAuth(bool Value) { FUseAuth = Value; }
  [[nodiscard]] TqvServerSaslFlags SaslFlags() const { return FSaslFlags; }
  void SetSaslFlags(TqvServerSaslFlags Value) { FSaslFlags = Value; }
  [[nodiscard]] int MaxRecipients() const { return FMaxRecipients; }
  void SetMaxRecipients(int Value) { FMaxRecipients = Value; }
  [[nodiscard]] TStrings& HelpText() { return FHelpText; }
  void SetHelpText(const TStrings& Value) { FHelpText.Assign(Value); }
  [[nodiscard]] TStrings& Extensions() { return FExtensions; }
  void SetExtensions(const TStrings& Value) { FExtensions.Assign(Value); }
  [[nodiscard]] const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& Value) { FHostName = Value; }

  // HostName, else the machine's name.
  [[nodiscard]] std::string GetHostName() const;
  // Changes the state, firing OnStateChanged when it differs.
  void SetState(TqvSmtpCommandConnection* AConnection, uint8_t AState);

  TqvSmtpCreateUserAccountEvent OnCreateUserAccount;
  TqvSmtpAuthenticateEvent OnAuthenticate;
  TqvSmtpMailFromEvent OnMailFrom;
  TqvSmtpRecipientToEvent OnRecipientTo;
  TqvSmtpMessageReceivedEvent OnMessageReceived;
  TqvSmtpMessageDeliveredEvent OnMessageDelivered;
  TqvSmtpMessageReceivedEvent OnMessageRelayed;
  TqvSmtpConnectionEvent OnStateChanged;
  TqvSmtpConnectionEvent OnReset;
  TqvSmtpCreateSpoolEvent OnCreateSpool;
  TqvSmtpSpooledRelayedEvent OnSpooledMessageRelayed;
  TqvSmtpSpooledDeliveredEvent OnSpooledMessageDelivered;

 protected:
  // Where TLS stands for a connection. This server has no TLS transport:
  // always Unavailable. A TLS-capable base answers from its mode and stream.
  enum class TTlsState { Unavailable, Plain, PlainRequired, Secured };
  [[nodiscard]] virtual TTlsState GetTlsState(TqvSmtpCommandConnection* AConnection);
  // Marks the connection for the switch after the 220 reply.
  virtual void BeginTls(TqvSmtpCommandConnection* AConnection);

  [[nodiscard]] virtual std::string GenerateChallenge();
  [[nodiscard]] virtual std::string GenerateMessageID();
  virtual void DoCreateUserAccount(TqvSmtpCommandConnection* AConnection, const std::string& AUserName,
                                   const std::string& AEmail, std::unique_ptr<TqvMailUserAccountItem>& Account);
  virtual void DoAuthenticate(TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                              const std::string& AUserName, bool& IsAuthorized, bool& Handled);
  virtual void DoMailFrom(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                          TqvSmtpMailFromAction& Action);
  virtual void DoRecipientTo(TqvSmtpCommandConnection* AConnection, const std::string& ARcptTo,
                             std::string& AForwardTo, TqvSmtpRcptToAction& Action);
  virtual void DoMessageReceived(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                                 const TStrings& ARecipients, TStrings& AMessage, TqvSmtpMailDataAction& Action);
  virtual void DoMessageDelivered(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                                  const std::string& ARecipient, TqvMailUserAccountItem* Account,
                                  TStrings& AMessage, TqvSmtpMailDataAction& Action);
  virtual void DoMessageRelayed(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                                const TStrings& ARecipients, TStrings& AMessage, TqvSmtpMailDataAction& Action);
  virtual void DoStateChanged(TqvSmtpCommandConnection* AConnection);
  virtual void DoReset(TqvSmtpCommandConnection* AConnection);

  void DoAcceptConnection(TqvUserConnection* AConnection, bool& Handled) override;
  TqvUserConnectionPtr CreateDefaultConnection() override;
  void AddCommands() override;
  std::unique_ptr<TqvTcpCommandInfo> CreateUnknownCommandInfo(TqvTcpCommandParams* AParams) override;
  void DoCommandError(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                      const std::exception& E) override;
  void DoMaxDataSizeExceeded(TqvCommandConnection* AConnection, bool& Handled) override;
  [[nodiscard]] bool MustSwitchToTlsFirst(TqvCommandConnection* AConnection) override;
  [[noreturn]] void RefuseCommand(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                                  TqvCommandRefusal AWhy, TqvCommandStates AStates) override;

 private:
  using TCommandEntry = TqvCommandEntry<TqvSmtpServer, TqvSmtpCommandConnection>;
  static const TCommandEntry kCommands[];
  static const TqvCommandMasks kCommandMasks;

  // The account for a user name, else for an address (AUTH and RCPT).
  [[nodiscard]] TqvMailUserAccountWrapper LookupAccount(TqvSmtpCommandConnection* AConnection,
                                                        const std::string& AUserName, const std::string& AEmail);
  // Parameters after APrefix ("FROM:", "TO:") as an address; false without it.
  // The account address that "postmaster" without a domain stands for;
  // empty when no local domain has a postmaster account.
  [[nodiscard]] std::string PostmasterAddress() const;
  [[nodiscard]] static bool ParsePath(const std::string& AParams, const char* APrefix, std::string& AAddress);
  void SendReply(TqvSmtpCommandConnection* AConnection, const std::string& ACommand, int ACode,
                 const std::string& AText);
  // The trace lines (and a Message-ID line when AHeader has none), in order.
  [[nodiscard]] std::vector<std::string> TraceLines(TqvSmtpCommandConnection* AConnection, TStrings& AHeader);
  void InsertTraceLines(TqvSmtpCommandConnection* AConnection, TStrings& AMessage);
  // The spool of a message being received, its trace lines written; null
  // when the store has none.
  [[nodiscard]] std::unique_ptr<TqvMessageSpool> OpenSpool(TqvSmtpCommandConnection* AConnection,
                                                           std::string_view AHeader);
  // True when every bound event can take the message from its spool.
  [[nodiscard]] bool SpoolDeliverable() const;
  // Exactly one of AMessage and ASpool is given.
  void DeliverMessage(TqvSmtpCommandConnection* AConnection, TStrings* AMessage, TqvMessageSpool* ASpool,
                      TqvSmtpMailDataAction& Action);

  void CmdEhlo(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdHelo(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdAuth(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdNoop(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdQuit(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdRset(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdMail(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdRcpt(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdData(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdHelp(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void CmdStartTls(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  void EndOfData(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams);

  // AUTH (qvSmtpAuth.cpp).
  // One client line for the mechanism; back in command mode afterwards
  // unless the step waits for another line (the steps return true then).
  void RunAuthStep(TqvSmtpCommandConnection* AConnection, TqvServerSaslFlag AMechanism, const std::string& ALine);
  [[nodiscard]] bool LoginStep(TqvSmtpCommandConnection* AConnection, const std::string& ALine);
  // CRAM-MD5 and NTLM through the shared engine.
  [[nodiscard]] bool SaslStep(TqvSmtpCommandConnection* AConnection, const std::string& ALine);
  // The decoded text of a LOGIN or CRAM-MD5 line; "*" or bad base64 aborts.
  [[nodiscard]] std::string DecodeAuthLine(TqvSmtpCommandConnection* AConnection, const std::string& ALine);
  [[noreturn]] void AbortAuth(TqvSmtpCommandConnection* AConnection);
  // The check's result through the guard, then 235, or the reset and 535.
  void FinishAuth(TqvSmtpCommandConnection* AConnection, bool AAuthorized);

  TqvMailUserAccountList FUserAccounts{true};
  bool FUseAuth = true;
  TqvServerSaslFlags FSaslFlags = SaslFlag(ssUseLogin) | SaslFlag(ssUseCramMD5) | SaslFlag(ssUseNTLM);
  int FMaxRecipients = 100;
  TStringList FHelpText;
  TStringList FExtensions;
  std::string FHostName;
};
