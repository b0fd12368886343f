#include "qvSmtpServer.h"

#include <algorithm>
#include <exception>

#include "CodeTable.h"
#include "DateTime.h"
#include "qvEmailAddress.h"
#include "qvHostResolver.h"
#include "qvMailHeader.h"
#include "qvMailUtils.h"
#include "qvSspiAuth.h"
#include "qvTextUtils.h"
#include "qvMailDate.h"

namespace {

using TReply = plat::TCodeText<>;

constexpr TReply kBadSequence{503, "Bad sequence of commands"};
constexpr TReply kBadParams{501, "Syntax error in parameters or arguments"};
constexpr TReply kEhloNeedsDomain{501, "EHLO requires domain address"};
constexpr TReply kHeloNeedsDomain{501, "HELO requires domain address"};
constexpr TReply kMustStartTls{530, "Must issue a STARTTLS command first"};
constexpr TReply kTlsNotAvailable{454, "TLS not available"};
constexpr TReply kAlreadySecured{454, "connection is already secured"};
constexpr TReply kRoutedMail{553, "This server does not accept routed mail"};
constexpr TReply kTooManyRecipients{452, "Too many recipients"};
constexpr TReply kUnknownServerError{451, "Requested action aborted: unknown server error"};
constexpr TReply kSizeExceeded{552, "Requested action aborted: exceeded storage allocation"};
constexpr char kPostmaster[] = "postmaster";
constexpr char kNoPostmaster[] = "No postmaster mailbox on this server";

// The reply to the end of DATA, by TqvSmtpMailDataAction.
constexpr TReply kDataReplies[] = {
    {250, "Ok"},
    {552, "Requested mail action aborted: exceeded storage allocation"},
    {452, "Requested action not taken: insufficient system storage"},
    {451, "Requested action aborted: error in processing"},
    {554, "Transaction failed"},
};

[[noreturn]] void Refuse(const std::string& ACommand, const TReply& AReply) {
  throw EqvSmtpServerError(ACommand, AReply.Code, AReply.Text);
}

[[noreturn]] void Refuse(const std::string& ACommand, int ACode, const std::string& AText) {
  throw EqvSmtpServerError(ACommand, ACode, AText);
}

TqvSmtpCommandConnection* AsSmtp(TqvUserConnection* AConnection) {
  auto* c = dynamic_cast<TqvSmtpCommandConnection*>(AConnection);
  if (!c) throw EInvalidCast();
  return c;
}

// More than one at sign: a source route or a relay trick, never accepted.
bool IsRouted(const std::string& AAddress) { return std::count(AAddress.begin(), AAddress.end(), '@') > 1; }


}  // namespace

// --- connection

TqvSmtpCommandConnection::TqvSmtpCommandConnection() = default;
TqvSmtpCommandConnection::~TqvSmtpCommandConnection() = default;

void TqvSmtpCommandConnection::LoginReset() {
  HeloDomain.clear();
  Authenticated = false;
  UserName.clear();
  Sasl.reset();
  FState = qvSmtpConnected;
}

void TqvSmtpCommandConnection::EnvelopeReset() {
  MailFrom.clear();
  Recipients.Clear();
}

// --- command table

namespace {

constexpr TqvCommandStates kConnected = CommandState(qvSmtpConnected);
constexpr TqvCommandStates kRecipientGiven = CommandState(qvSmtpRecipientGiven);

}  // namespace

// Registration order matters to nobody but is kept as documented.
constexpr TqvSmtpServer::TCommandEntry TqvSmtpServer::kCommands[] = {
    {"EHLO", &TqvSmtpServer::CmdEhlo, kConnected, 0},
    {"HELO", &TqvSmtpServer::CmdHelo, kConnected, 0},
    {"AUTH", &TqvSmtpServer::CmdAuth, kqvAnyCommandState, cfNeedsTls | cfSecretAfterFirstWord | cfSecretAnswers},
    {"NOOP", &TqvSmtpServer::CmdNoop, kqvAnyCommandState, 0},
    {"QUIT", &TqvSmtpServer::CmdQuit, kqvAnyCommandState, 0},
    {"RSET", &TqvSmtpServer::CmdRset, kqvAnyCommandState, cfNeedsTls},
    {"MAIL", &TqvSmtpServer::CmdMail, CommandState(qvSmtpGreeted), cfNeedsTls},
    {"RCPT", &TqvSmtpServer::CmdRcpt, CommandState(qvSmtpSenderGiven) | kRecipientGiven, cfNeedsTls},
    {"DATA", &TqvSmtpServer::CmdData, kRecipientGiven, cfNeedsTls},
    {"HELP", &TqvSmtpServer::CmdHelp, kqvAnyCommandState, 0},
    {"STARTTLS", &TqvSmtpServer::CmdStartTls, kqvAnyCommandState, 0},
};
const TqvCommandMasks TqvSmtpServer::kCommandMasks(kCommands);

// --- server

TqvSmtpServer::TqvSmtpServer(TComponent* AOwner) : TqvTcpCommandServer(AOwner) {
  SetPort(25);
  SetServerName("Quorvin Mail Kit - Ostra Edition SMTP service");
  SetAnswersBlankLines(true);
  FHelpText.Add("Commands Supported:");
  FHelpText.Add("HELO EHLO AUTH HELP QUIT MAIL NOOP RSET RCPT DATA STARTTLS");
}

TqvSmtpServer::~TqvSmtpServer() { Stop(); }

std::string TqvSmtpServer::GetHostName() const { return FHostName.empty() ? GetLocalHostName() : FHostName; }

void TqvSmtpServer::SetState(TqvSmtpCommandConnection* AConnection, uint8_t AState) {
  if (AConnection->FState == AState) return;
  AConnection->FState = AState;
  DoStateChanged(AConnection);
}

TqvUserConnectionPtr TqvSmtpServer::CreateDefaultConnection() { return std::make_shared<TqvSmtpCommandConnection>(); }

void TqvSmtpServer::AddCommands() { AddCommandTable(this, kCommands); }

bool TqvSmtpServer::MustSwitchToTlsFirst(TqvCommandConnection* AConnection) {
  return GetTlsState(AsSmtp(AConnection)) == TTlsState::PlainRequired;
}

void TqvSmtpServer::RefuseCommand(TqvCommandConnection*, TqvTcpCommandParams* AParams, TqvCommandRefusal AWhy,
                                  TqvCommandStates) {
  Refuse(AParams->Command, AWhy == TqvCommandRefusal::NeedsTls ? kMustStartTls : kBadSequence);
}

std::unique_ptr<TqvTcpCommandInfo> TqvSmtpServer::CreateUnknownCommandInfo(TqvTcpCommandParams*) {
  return std::make_unique<TqvTcpCommandFunc>("", [](TqvCommandConnection*, TqvTcpCommandParams* AParams) {
    Refuse(AParams->Command, 500, "Syntax error, command unrecognized: " + qvtext::UpperCase(AParams->Command));
  });
}

void TqvSmtpServer::DoCommandError(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                                   const std::exception&) {
  SendReply(AsSmtp(AConnection), AParams->Command, kUnknownServerError.Code, kUnknownServerError.Text);
}

void TqvSmtpServer::DoMaxDataSizeExceeded(TqvCommandConnection* AConnection, bool& Handled) {
  TqvSmtpCommandConnection* c = AsSmtp(AConnection);
  std::scoped_lock lock(c->CommandLock);
  if (c->FState == qvSmtpReceivingData) {
    // The transaction is over: back to command mode after HELO, with no
    // envelope, so the client can go on without an RSET.
    SetCommandHandler(c);
    c->EnvelopeReset();
    SetState(c, qvSmtpGreeted);
  } else if (dynamic_cast<TqvProcessLineHandler*>(c->DataHandler())) {
    // An AUTH line over the limit ends the exchange as an abort does: what
    // the client sends next is a command, never a credential.
    SetCommandHandler(c);
    c->LoginReset();
    c->EnvelopeReset();
    c->FState = qvSmtpGreeted;
  }
  Handled = true;
  SendReply(c, "DATA", kSizeExceeded.Code, kSizeExceeded.Text);
}

void TqvSmtpServer::DoAcceptConnection(TqvUserConnection* AConnection, bool& Handled) {
  TqvTcpCommandServer::DoAcceptConnection(AConnection, Handled);
  if (Handled) return;
  SendResponse(AsSmtp(AConnection), "", "220 " + GetHostName() + " " + ServerName());
}

void TqvSmtpServer::SendReply(TqvSmtpCommandConnection* AConnection, const std::string& ACommand, int ACode,
                              const std::string& AText) {
  SendResponse(AConnection, ACommand, std::to_string(ACode) + " " + AText);
}

TqvMailUserAccountWrapper TqvSmtpServer::LookupAccount(TqvSmtpCommandConnection* AConnection,
                                                       const std::string& AUserName, const std::string& AEmail) {
  std::unique_ptr<TqvMailUserAccountItem> created;
  DoCreateUserAccount(AConnection, AUserName, AEmail, created);
  if (created) return TqvMailUserAccountWrapper(std::move(created));
  return TqvMailUserAccountWrapper(AUserName.empty() ? FUserAccounts.FindAccountByEmail(AEmail)
                                                     : FUserAccounts.FindAccount(AUserName));
}

std::string TqvSmtpServer::PostmasterAddress() const {
  // The local domains are those of the accounts, in account order; the
  // first one with a postmaster account receives the mail.
  std::vector<std::string_view> domains;
  auto domainOf = [](const std::string& AEmail) {
    const size_t at = AEmail.rfind('@');
    return at == std::string::npos ? std::string_view() : std::string_view(AEmail).substr(at + 1);
  };
  for (int i = 0; i < FUserAccounts.Count(); ++i) {
    const std::string_view domain = domainOf(FUserAccounts.Items(i)->Email());
    if (domain.empty() || std::any_of(domains.begin(), domains.end(),
                                      [domain](std::string_view d) { return qvtext::SameText(d, domain); }))
      continue;
    domains.push_back(domain);
  }
  for (const std::string_view domain : domains) {
    for (int i = 0; i < FUserAccounts.Count(); ++i) {
      const std::string& email = FUserAccounts.Items(i)->Email();
      const size_t at = email.rfind('@');
      if (at != std::string::npos && qvtext::SameText(std::string_view(email).substr(0, at), kPostmaster) &&
          qvtext::SameText(domainOf(email), domain))
        return email;
    }
  }
  return {};
}

bool TqvSmtpServer::ParsePath(const std::string& AParams, const char* APrefix, std::string& AAddress) {
  const size_t at = qvtext::UpperCase(AParams).find(APrefix);
  if (at == std::string::npos) return false;
  std::string_view arg = std::string_view(AParams).substr(at + std::char_traits<char>::length(APrefix), 1000);
  const size_t open = arg.find_first_not_of(' ');
  if (open != std::string_view::npos && arg[open] == '<') {
    // The path ends at its ">"; ESMTP parameters after it ("AUTH=<>",
    // "ORCPT=rfc822;<...>") are ignored and never replace the address.
    const size_t close = arg.find('>', open);
    if (close != std::string_view::npos) arg = arg.substr(open, close + 1 - open);
  }
  std::string name;
  (void)GetEmailAddressParts(arg, name, AAddress);
  // The parser gives "<>" itself for the null path.
  if (AAddress == "<>") AAddress.clear();
  return true;
}

// --- commands

void TqvSmtpServer::CmdEhlo(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  const std::string domain = qvtext::Trim(AParams->Params);
  if (domain.empty()) Refuse(AParams->Command, kEhloNeedsDomain);
  AConnection->HeloDomain = domain;
  SetState(AConnection, qvSmtpGreeted);
  AConnection->EhloUsed = true;
  if (!FUseAuth) AConnection->Authenticated = true;

  auto lines = std::make_unique<TStringList>();
  lines->Add("250-" + GetHostName() + " Hello " + domain + ", pleased to meet you");
  if (FUseAuth) {
    std::string mechanisms;
    for (const TqvServerSaslFlag m : {ssUseLogin, ssUseCramMD5, ssUseNTLM}) {
      if (!(FSaslFlags & SaslFlag(m))) continue;
      if (!mechanisms.empty()) mechanisms += ' ';
      mechanisms += SaslMechanismName(m);
    }
    if (!mechanisms.empty()) {
      lines->Add("250-AUTH " + mechanisms);
      lines->Add("250-AUTH=" + mechanisms);
    }
  }
  const TTlsState tls = GetTlsState(AConnection);
  if (tls == TTlsState::Plain || tls == TTlsState::PlainRequired) lines->Add("250-STARTTLS");
  for (int i = 0; i < FExtensions.Count(); ++i) lines->Add("250-" + FExtensions.Strings(i));
  const std::string end = MaxDataSize() > 0 ? "250 SIZE " + std::to_string(MaxDataSize()) : "250 HELP";
  std::unique_ptr<TStrings> response = std::move(lines);
  SendMultipleLinesAll(AConnection, response, end);
}

void TqvSmtpServer::CmdHelo(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  const std::string domain = qvtext::Trim(AParams->Params);
  if (domain.empty()) Refuse(AParams->Command, kHeloNeedsDomain);
  AConnection->HeloDomain = domain;
  SetState(AConnection, qvSmtpGreeted);
  if (!FUseAuth) AConnection->Authenticated = true;
  SendReply(AConnection, AParams->Command, 250, GetHostName() + " Hello " + domain + ", pleased to meet you");
}

void TqvSmtpServer::CmdNoop(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  SendReply(AConnection, AParams->Command, 250, "OK");
}

void TqvSmtpServer::CmdQuit(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  SendClosingReplies(AConnection, AParams->Command, {"221 " + GetHostName() + " closing connection"});
}

void TqvSmtpServer::CmdRset(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  AConnection->EnvelopeReset();
  if (AConnection->FState != qvSmtpConnected) SetState(AConnection, qvSmtpGreeted);
  DoReset(AConnection);
  SendReply(AConnection, AParams->Command, 250, "Reset state");
}

void TqvSmtpServer::CmdMail(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  std::string sender;
  if (!ParsePath(AParams->Params, "FROM:", sender)) Refuse(AParams->Command, kBadParams);
  const bool routed = IsRouted(sender);
  TqvSmtpMailFromAction action = routed ? mfReject : mfAccept;
  DoMailFrom(AConnection, sender, action);
  if (action == mfReject) {
    if (routed) Refuse(AParams->Command, kRoutedMail);
    Refuse(AParams->Command, 553, "<" + sender + "> Sender not permitted");
  }
  // A new transaction never inherits recipients of an earlier one.
  AConnection->EnvelopeReset();
  AConnection->MailFrom = sender;
  SetState(AConnection, qvSmtpSenderGiven);
  SendReply(AConnection, AParams->Command, 250, "<" + sender + "> Sender ok");
}

void TqvSmtpServer::CmdRcpt(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  std::string recipient;
  if (!ParsePath(AParams->Params, "TO:", recipient)) Refuse(AParams->Command, kBadParams);
  // "postmaster" needs no domain and must always be taken: it stands for
  // the postmaster account of a local domain, and is refused only when
  // there is none.
  const std::string given = recipient;
  if (qvtext::SameText(recipient, kPostmaster)) {
    recipient = PostmasterAddress();
    if (recipient.empty()) Refuse(AParams->Command, 550, "<" + given + "> " + kNoPostmaster);
  }
  TqvSmtpRcptToAction action = rtAddressOk;
  if (recipient.empty())
    action = rtBadAddress;
  else if (AConnection->Recipients.Count() >= FMaxRecipients)
    action = rtTooManyAddresses;
  else if (IsRouted(recipient))
    action = rtRelayDenied;
  else if (!AConnection->Authenticated && !LookupAccount(AConnection, "", recipient).Item())
    action = rtRelayDenied;
  std::string forwardTo;
  DoRecipientTo(AConnection, recipient, forwardTo, action);

  const std::string quoted = "<" + given + ">";
  switch (action) {
    case rtAddressOk:
    case rtForward:
      AConnection->Recipients.Add(action == rtForward ? forwardTo : recipient);
      SetState(AConnection, qvSmtpRecipientGiven);
      SendReply(AConnection, AParams->Command, 250, quoted + " Recipient ok");
      return;
    case rtRelayDenied:
      Refuse(AParams->Command, 550, quoted + " Relay denied");
    case rtNotForward:
      Refuse(AParams->Command, 551, quoted + " User not local; please try <" + forwardTo + ">");
    case rtTooManyAddresses:
      Refuse(AParams->Command, kTooManyRecipients);
    case rtDisabled:
      Refuse(AParams->Command, 550, quoted + " Account disabled");
    default:
      Refuse(AParams->Command, 500, quoted + " Invalid address");
  }
}

void TqvSmtpServer::CmdData(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  SetState(AConnection, qvSmtpReceivingData);
  TqvProcessMultiLineHandler::TOpenSpool openSpool;
  if (OnCreateSpool)
    openSpool = [this, AConnection](std::string_view AHeader) { return OpenSpool(AConnection, AHeader); };
  StartReadMultiLine(AConnection,
                     std::make_unique<TqvTcpCommandFunc>(
                         "DATA", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) { EndOfData(AsSmtp(c), p); }),
                     std::move(openSpool));
  SendReply(AConnection, AParams->Command, 354, "Start mail input, end with <CRLF>.<CRLF>");
}

void TqvSmtpServer::CmdHelp(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams*) {
  auto lines = std::make_unique<TStringList>();
  for (int i = 0; i < FHelpText.Count(); ++i) lines->Add("214-" + FHelpText.Strings(i));
  std::unique_ptr<TStrings> response = std::move(lines);
  SendMultipleLinesAll(AConnection, response, "214 End Of Help");
}

void TqvSmtpServer::CmdStartTls(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  const TTlsState tls = GetTlsState(AConnection);
  if (tls == TTlsState::Unavailable) Refuse(AParams->Command, kTlsNotAvailable);
  if (tls == TTlsState::Secured) Refuse(AParams->Command, kAlreadySecured);
  const uint8_t old = AConnection->FState;
  AConnection->LoginReset();
  // Nothing said in clear text may carry over into the secured session.
  AConnection->EnvelopeReset();
  if (old != qvSmtpConnected) DoStateChanged(AConnection);
  BeginTls(AConnection);
  SendReply(AConnection, AParams->Command, 220, "please start a TLS connection");
}

// --- end of DATA

void TqvSmtpServer::EndOfData(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  SetCommandHandler(AConnection);
  SetState(AConnection, qvSmtpGreeted);
  // Whatever happens below, the transaction ends here.
  struct TEnvelopeEnd {
    TqvSmtpCommandConnection* C;
    ~TEnvelopeEnd() { C->EnvelopeReset(); }
  } envelopeEnd{AConnection};

  if (AParams->SpoolFailed) Refuse("DATA", kDataReplies[mdProcessingError]);
  // A spool no copy took goes before the reply.
  struct TSpoolEnd {
    TqvMessageSpool* S;
    ~TSpoolEnd() {
      if (S) S->Discard();
    }
  } spoolEnd{AParams->Spool};
  TqvSmtpMailDataAction action = mdOk;
  if (AParams->Spool && SpoolDeliverable()) {
    DeliverMessage(AConnection, nullptr, AParams->Spool, action);
  } else {
    TBlockStringList readBack;
    TStringList empty;
    TStrings* message = AParams->Lines ? AParams->Lines : &empty;
    if (AParams->Spool) {
      // Its trace lines are in the spool already.
      AParams->Spool->ReadLines(readBack);
      message = &readBack;
    } else {
      InsertTraceLines(AConnection, *message);
    }
    DoMessageReceived(AConnection, AConnection->MailFrom, AConnection->Recipients, *message, action);
    if (action == mdOk) DeliverMessage(AConnection, message, nullptr, action);
  }
  if (AParams->Spool) AParams->Spool->Discard();
  const int index = std::clamp(static_cast<int>(action), 0, static_cast<int>(std::size(kDataReplies)) - 1);
  const TReply& reply = kDataReplies[index];
  if (action != mdOk) Refuse("DATA", reply);
  SendReply(AConnection, "DATA", reply.Code, reply.Text);
}

std::vector<std::string> TqvSmtpServer::TraceLines(TqvSmtpCommandConnection* AConnection, TStrings& AHeader) {
  const std::string local = LocalBinding().empty() ? AConnection->LocalIP : LocalBinding();
  std::vector<std::string> lines;
  lines.push_back("Received: from " + AConnection->HeloDomain + " [" + AConnection->PeerIP + "]");
  lines.push_back("\tby " + GetHostName() + " [" + local + "];");
  std::string date = "\t";
  date += DateTimeToMailTime(Now());
  lines.push_back(date);
  // The trace lines hold no Message-ID, so the header is looked at before they come.
  TqvMailHeaderFieldList header("iso-8859-1", 76, cmNone);
  (void)header.Parse(0, &AHeader);
  if (header.GetFieldIndex("Message-ID") < 0) lines.push_back("Message-ID: " + GenerateMessageID());
  return lines;
}

void TqvSmtpServer::InsertTraceLines(TqvSmtpCommandConnection* AConnection, TStrings& AMessage) {
  // Every line goes on top, last one first: inserting at the top of a large
  // message moves none of its lines.
  const std::vector<std::string> lines = TraceLines(AConnection, AMessage);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) AMessage.Insert(0, *it);
}

std::unique_ptr<TqvMessageSpool> TqvSmtpServer::OpenSpool(TqvSmtpCommandConnection* AConnection,
                                                          std::string_view AHeader) {
  // The first copy is the first local account's, as delivery comes to them.
  TqvMailUserAccountWrapper account;
  const TStrings& recipients = AConnection->Recipients;
  for (int i = 0; i < recipients.Count() && !account.Item(); ++i)
    account = LookupAccount(AConnection, "", recipients.Strings(i));
  const std::string prefix = account.Item() ? "Return-path: <" + AConnection->MailFrom + ">\r\n" : std::string();
  std::unique_ptr<TqvMessageSpool> spool;
  if (OnCreateSpool) OnCreateSpool(this, AConnection, account.Item(), prefix, spool);
  if (!spool) return nullptr;
  TBlockStringList header;
  header.AssignText(AHeader);
  std::string trace;
  for (const std::string& line : TraceLines(AConnection, header)) trace += line + "\r\n";
  spool->Write(trace);
  return spool;
}

bool TqvSmtpServer::SpoolDeliverable() const {
  return !OnMessageReceived && (!OnMessageRelayed || OnSpooledMessageRelayed) &&
         (!OnMessageDelivered || OnSpooledMessageDelivered);
}

void TqvSmtpServer::DeliverMessage(TqvSmtpCommandConnection* AConnection, TStrings* AMessage,
                                   TqvMessageSpool* ASpool, TqvSmtpMailDataAction& Action) {
  // All or nothing: unless every copy is stored, the client retries the
  // whole message, so copies stored before a failure must not stay behind.
  struct TRollBack {
    TqvSmtpCommandConnection* C;
    const TqvSmtpMailDataAction& Result;
    explicit TRollBack(TqvSmtpCommandConnection* AC, const TqvSmtpMailDataAction& AResult) : C(AC), Result(AResult) {
      C->PlacedCopies.clear();
      C->AfterStored.clear();
    }
    ~TRollBack() {
      auto copies = std::move(C->PlacedCopies);
      auto after = std::move(C->AfterStored);
      C->PlacedCopies.clear();
      C->AfterStored.clear();
      if (Result == mdOk && std::uncaught_exceptions() == 0) {
        for (const auto& step : after) {
          try {
            step();
          } catch (...) {
            // The message is stored; what follows cannot undo that.
          }
        }
        return;
      }
      for (auto it = copies.rbegin(); it != copies.rend(); ++it) {
        try {
          (*it)();
        } catch (...) {
          // A copy that cannot be taken back is no reason to hide the failure.
        }
      }
    }
  } rollBack(AConnection, Action);
  const std::string& from = AConnection->MailFrom;
  const TStrings& recipients = AConnection->Recipients;
  TStringList relayed;
  for (int i = 0; i < recipients.Count(); ++i)
    if (!LookupAccount(AConnection, "", recipients.Strings(i)).Item()) relayed.Add(recipients.Strings(i));
  if (relayed.Count() > 0) {
    if (ASpool) {
      ASpool->CopyPrefix.clear();
      if (OnSpooledMessageRelayed) OnSpooledMessageRelayed(this, AConnection, from, relayed, *ASpool, Action);
    } else {
      DoMessageRelayed(AConnection, from, relayed, *AMessage, Action);
    }
  }
  if (Action != mdOk) return;
  const std::string returnPath = "Return-path: <" + from + ">";
  if (ASpool)
    ASpool->CopyPrefix = returnPath + "\r\n";
  else
    AMessage->Insert(0, returnPath);
  for (int i = 0; i < recipients.Count() && Action == mdOk; ++i) {
    const std::string recipient = recipients.Strings(i);
    const TqvMailUserAccountWrapper account = LookupAccount(AConnection, "", recipient);
    if (!account.Item()) continue;
    if (!ASpool)
      DoMessageDelivered(AConnection, from, recipient, account.Item(), *AMessage, Action);
    else if (OnSpooledMessageDelivered)
      OnSpooledMessageDelivered(this, AConnection, from, recipient, account.Item(), *ASpool, Action);
  }
}

// --- TLS hooks

TqvSmtpServer::TTlsState TqvSmtpServer::GetTlsState(TqvSmtpCommandConnection* AConnection) {
  if (UseTLS == stNone) return TTlsState::Unavailable;
  if (UseTLS == stImplicit || IsTlsConnection(AConnection)) return TTlsState::Secured;
  return UseTLS == stExplicitRequire ? TTlsState::PlainRequired : TTlsState::Plain;
}

void TqvSmtpServer::BeginTls(TqvSmtpCommandConnection* AConnection) { StartTls(AConnection); }

// --- events

std::string TqvSmtpServer::GenerateChallenge() { return GenerateTalmerixoMessageId(GetHostName()); }
std::string TqvSmtpServer::GenerateMessageID() { return GenerateMessageId(GetHostName()); }

void TqvSmtpServer::DoCreateUserAccount(TqvSmtpCommandConnection* AConnection, const std::string& AUserName,
                                        const std::string& AEmail,
                                        std::unique_ptr<TqvMailUserAccountItem>& Account) {
  if (OnCreateUserAccount) OnCreateUserAccount(this, AConnection, AUserName, AEmail, Account);
}

void TqvSmtpServer::DoAuthenticate(TqvSmtpCommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                                   const std::string& AUserName, bool& IsAuthorized, bool& Handled) {
  if (OnAuthenticate) OnAuthenticate(this, AConnection, Account, AUserName, IsAuthorized, Handled);
}

void TqvSmtpServer::DoMailFrom(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                               TqvSmtpMailFromAction& Action) {
  if (OnMailFrom) OnMailFrom(this, AConnection, AMailFrom, Action);
}

void TqvSmtpServer::DoRecipientTo(TqvSmtpCommandConnection* AConnection, const std::string& ARcptTo,
                                  std::string& AForwardTo, TqvSmtpRcptToAction& Action) {
  if (OnRecipientTo) OnRecipientTo(this, AConnection, ARcptTo, AForwardTo, Action);
}

void TqvSmtpServer::DoMessageReceived(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                                      const TStrings& ARecipients, TStrings& AMessage,
                                      TqvSmtpMailDataAction& Action) {
  if (OnMessageReceived) OnMessageReceived(this, AConnection, AMailFrom, ARecipients, AMessage, Action);
}

void TqvSmtpServer::DoMessageDelivered(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                                       const std::string& ARecipient, TqvMailUserAccountItem* Account,
                                       TStrings& AMessage, TqvSmtpMailDataAction& Action) {
  if (OnMessageDelivered) OnMessageDelivered(this, AConnection, AMailFrom, ARecipient, Account, AMessage, Action);
}

void TqvSmtpServer::DoMessageRelayed(TqvSmtpCommandConnection* AConnection, const std::string& AMailFrom,
                                     const TStrings& ARecipients, TStrings& AMessage,
                                     TqvSmtpMailDataAction& Action) {
  if (OnMessageRelayed) OnMessageRelayed(this, AConnection, AMailFrom, ARecipients, AMessage, Action);
}

void TqvSmtpServer::DoStateChanged(TqvSmtpCommandConnection* AConnection) {
  if (OnStateChanged) OnStateChanged(this, AConnection);
}

void TqvSmtpServer::DoReset(TqvSmtpCommandConnection* AConnection) {
  if (OnReset) OnReset(this, AConnection);
}
