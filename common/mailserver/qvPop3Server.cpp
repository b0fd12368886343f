// Sessions, state and login of the POP3 server; the transaction commands are
// in qvPop3Commands.cpp.
#include "qvPop3Server.h"

#include <bit>
#include <optional>

#include "AsciiText.h"
#include "NtlmPackage.h"
#include "qvCryptHash.h"
#include "qvEncoder.h"
#include "qvHostResolver.h"
#include "qvMailUtils.h"
#include "qvPop3Replies.h"
#include "TextTrim.h"
#include "qvSspi.h"
#include "qvSspiAuth.h"

using namespace pop3reply;
using plat::Trim;
using pop3text::Words;

namespace {

const char* StateName(TqvPop3State AState) {
  switch (AState) {
    case psAuthorization: return "AUTHORIZATION";
    case psTransaction: return "TRANSACTION";
    case psUpdate: return "UPDATE";
  }
  return "";
}

TqvPop3CommandConnection* Pop3(TqvCommandConnection* AConnection) {
  return static_cast<TqvPop3CommandConnection*>(AConnection);
}

}  // namespace

// --- connection

TqvPop3CommandConnection::TqvPop3CommandConnection() : FMailBox(std::make_unique<TqvPop3MessageList>()) {}
TqvPop3CommandConnection::~TqvPop3CommandConnection() = default;

// --- server

TqvPop3Server::TqvPop3Server(TComponent* AOwner)
    : TqvTcpCommandServer(AOwner),
      FUserAccounts(std::make_unique<TqvMailUserAccountList>(true)),
      FHelpText(std::make_unique<TStringList>()) {
  SetPort(110);
  SetServerName("Quorvin Mail Kit - Ostra Edition POP3 service");
  SetAnswersBlankLines(true);
  for (const char* line : {"Valid commands: USER", "PASS", "APOP", "AUTH", "QUIT", "NOOP", "HELP", "STAT", "RETR",
                           "TOP", "DELE", "RSET", "LIST", "UIDL", "STLS"})
    FHelpText->Add(line);
}

TqvPop3Server::~TqvPop3Server() { Stop(); }

std::string TqvPop3Server::LocalHost() const { return FHostName.empty() ? GetLocalHostName() : FHostName; }

std::string TqvPop3Server::GenerateTimeStamp() { return GenerateMessageId(LocalHost()); }
std::string TqvPop3Server::GenerateChallenge() { return GenerateTalmerixoMessageId(LocalHost()); }

TqvUserConnectionPtr TqvPop3Server::CreateDefaultConnection() { return std::make_shared<TqvPop3CommandConnection>(); }

namespace {

constexpr TqvCommandStates kAuthorization = CommandState(psAuthorization);
constexpr TqvCommandStates kTransaction = CommandState(psTransaction);

}  // namespace

// In registration order.
constexpr TqvPop3Server::TCommandEntry TqvPop3Server::kCommands[] = {
    {"USER", &TqvPop3Server::CmdUser, kAuthorization, cfNeedsTls | cfSecretAfterFirstWord},
    {"PASS", &TqvPop3Server::CmdPass, kAuthorization, cfNeedsTls | cfSecretParams},
    {"APOP", &TqvPop3Server::CmdApop, kAuthorization, cfNeedsTls | cfSecretAfterFirstWord},
    {"AUTH", &TqvPop3Server::CmdAuth, kAuthorization, cfNeedsTls | cfSecretAfterFirstWord | cfSecretAnswers},
    {"NOOP", &TqvPop3Server::CmdNoop, kTransaction, cfNeedsTls},
    {"QUIT", &TqvPop3Server::CmdQuit, kqvAnyCommandState, 0},
    {"RSET", &TqvPop3Server::CmdRset, kTransaction, cfNeedsTls},
    {"STAT", &TqvPop3Server::CmdStat, kTransaction, cfNeedsTls},
    {"RETR", &TqvPop3Server::CmdRetr, kTransaction, cfNeedsTls},
    {"TOP", &TqvPop3Server::CmdTop, kTransaction, cfNeedsTls},
    {"DELE", &TqvPop3Server::CmdDele, kTransaction, cfNeedsTls},
    {"LIST", &TqvPop3Server::CmdList, kTransaction, cfNeedsTls},
    {"UIDL", &TqvPop3Server::CmdUidl, kTransaction, cfNeedsTls},
    {"STLS", &TqvPop3Server::CmdStls, kqvAnyCommandState, 0},
    {"HELP", &TqvPop3Server::CmdHelp, kqvAnyCommandState, 0},
};
const TqvCommandMasks TqvPop3Server::kCommandMasks(kCommands);

void TqvPop3Server::AddCommands() { AddCommandTable(this, kCommands); }

bool TqvPop3Server::MustSwitchToTlsFirst(TqvCommandConnection* AConnection) {
  return UseTLS == stExplicitRequire && !IsConnectionSecured(Pop3(AConnection));
}

void TqvPop3Server::RefuseCommand(TqvCommandConnection*, TqvTcpCommandParams* AParams, TqvCommandRefusal AWhy,
                                  TqvCommandStates AStates) {
  if (AWhy == TqvCommandRefusal::NeedsTls) throw EqvPop3ServerError(AParams->Command, kMustStls);
  // Each command of the table has the one state it needs.
  const auto state = static_cast<TqvPop3State>(std::countr_zero(AStates));
  throw EqvPop3ServerError(AParams->Command, std::string(kWrongStatePrefix) + StateName(state) + kWrongStateSuffix);
}

std::unique_ptr<TqvTcpCommandInfo> TqvPop3Server::CreateUnknownCommandInfo(TqvTcpCommandParams*) {
  return std::make_unique<TqvTcpCommandFunc>("", [](TqvCommandConnection*, TqvTcpCommandParams* p) {
    throw EqvPop3ServerError(p->Command, kInvalidCommand);
  });
}

void TqvPop3Server::DoCommandError(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                                   const std::exception&) {
  SendResponse(AConnection, AParams ? AParams->Command : std::string(), kAccessDenied);
}

void TqvPop3Server::DoAcceptConnection(TqvUserConnection* AConnection, bool& Handled) {
  TqvTcpCommandServer::DoAcceptConnection(AConnection, Handled);
  auto* c = dynamic_cast<TqvPop3CommandConnection*>(AConnection);
  if (!c) return;
  c->FTimeStamp = GenerateTimeStamp();
  if (Handled) return;
  std::string greeting = "+OK " + ServerName() + " ready";
  if (FUseAuth != pmUseSASL) greeting += " " + c->FTimeStamp;
  SendResponse(c, "", greeting);
}

void TqvPop3Server::DoCloseConnection(TqvUserConnection* AConnection) {
  if (auto* c = dynamic_cast<TqvPop3CommandConnection*>(AConnection)) {
    try {
      // A dropped session never reaches UPDATE: its marks are forgotten.
      SetState(c, psAuthorization, "");
    } catch (const std::exception& e) {
      DoServerError(AConnection, e);
    }
  }
  TqvTcpCommandServer::DoCloseConnection(AConnection);
}

// --- events

void TqvPop3Server::DoCreateUserAccount(TqvPop3CommandConnection* AConnection, const std::string& AUserName,
                                        std::unique_ptr<TqvMailUserAccountItem>& Account) {
  if (OnCreateUserAccount) OnCreateUserAccount(this, AConnection, AUserName, Account);
}
void TqvPop3Server::DoAuthenticate(TqvPop3CommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                                   const std::string& AUserName, bool& IsAuthorized, bool& Handled) {
  if (OnAuthenticate) OnAuthenticate(this, AConnection, Account, AUserName, IsAuthorized, Handled);
}
void TqvPop3Server::DoMailBoxInfo(TqvPop3CommandConnection* AConnection, TqvPop3MessageList& AMailBox) {
  if (OnMailBoxInfo) OnMailBoxInfo(this, AConnection, AMailBox);
}
void TqvPop3Server::DoRetrieve(TqvPop3CommandConnection* AConnection, int AMessageNo, TStrings& AMessage,
                               bool& Success) {
  if (OnRetrieve) OnRetrieve(this, AConnection, AMessageNo, AMessage, Success);
}
void TqvPop3Server::DoOpenMessage(TqvPop3CommandConnection* AConnection, int AMessageNo,
                                  std::unique_ptr<TStream>& AStream, bool& Success) {
  if (OnOpenMessage) OnOpenMessage(this, AConnection, AMessageNo, AStream, Success);
}
void TqvPop3Server::DoDelete(TqvPop3CommandConnection* AConnection, int AMessageNo, bool& ACanDelete) {
  if (OnDelete) OnDelete(this, AConnection, AMessageNo, ACanDelete);
}
void TqvPop3Server::DoStateChanged(TqvPop3CommandConnection* AConnection) {
  if (OnStateChanged) OnStateChanged(this, AConnection);
}
void TqvPop3Server::DoReset(TqvPop3CommandConnection* AConnection) {
  if (OnReset) OnReset(this, AConnection);
}

// --- TLS

bool TqvPop3Server::IsConnectionSecured(TqvPop3CommandConnection* AConnection) { return IsTlsConnection(AConnection); }
void TqvPop3Server::BeginTlsSwitch(TqvPop3CommandConnection* AConnection) { StartTls(AConnection); }

// --- checks, state, reset

void TqvPop3Server::SetState(TqvPop3CommandConnection* AConnection, TqvPop3State AState,
                             const std::string& ACommand) {
  std::vector<std::function<void()>> after;
  try {
    const auto lock = ServerLock();
    ChangeState(AConnection, AState, ACommand);
    after = std::exchange(AConnection->FAfterStateChange, {});
  } catch (...) {
    AConnection->FAfterStateChange.clear();
    throw;
  }
  for (const auto& work : after) work();
}

void TqvPop3Server::ChangeState(TqvPop3CommandConnection* AConnection, TqvPop3State AState,
                                const std::string& ACommand) {
  if (AConnection->FState.load() == AState) return;
  if (AState == psTransaction) {
    // Only listed connections count: a closed one has left the list.
    const int count = GetConnectionCount();
    for (int i = 0; i < count; ++i) {
      const TqvUserConnectionPtr other = GetConnection(i);
      auto* p = dynamic_cast<TqvPop3CommandConnection*>(other.get());
      if (p && p != AConnection && p->FState.load() == psTransaction &&
          plat::AsciiSameText(p->FLockedUser, AConnection->FUserName))
        throw EqvPop3ServerError(ACommand, kMaildropLocked, true);
    }
    AConnection->FLockedUser = AConnection->FUserName;
  } else {
    AConnection->FLockedUser.clear();
  }
  AConnection->FState = AState;
  DoStateChanged(AConnection);
}

void TqvPop3Server::ResetConnection(TqvPop3CommandConnection* AConnection) {
  {
    const auto lock = ServerLock();
    AConnection->FState = psAuthorization;
    AConnection->FLockedUser.clear();
  }
  AConnection->FUserName.clear();
  AConnection->FSasl.reset();
  AConnection->FMailBox->Clear();
}

// --- login

void TqvPop3Server::Login(TqvPop3CommandConnection* AConnection, const std::string& ACommand,
                          const std::string& AUserName,
                          const std::function<bool(const TqvUserAccountItem&)>& ACheck, bool ANtlm) {
  bool authorized = false;
  std::string name = AUserName;
  // An empty name would give the mailbox folder itself.
  if (!AUserName.empty()) {
    std::unique_ptr<TqvMailUserAccountItem> created;
    DoCreateUserAccount(AConnection, AUserName, created);
    TqvMailUserAccountItem* account = created ? created.get() : FUserAccounts->FindAccount(AUserName);
    // NTLM has checked the password already, but only an account may log in.
    authorized = ANtlm && account != nullptr;
    bool handled = false;
    DoAuthenticate(AConnection, account, AUserName, authorized, handled);
    // NTLM has proved the password; the hook alone may still refuse.
    if (!handled && account && !ANtlm) authorized = ACheck(*account);
    // The account's spelling names the maildrop, not the client's.
    if (account && !account->UserName().empty()) name = account->UserName();
  }
  if (TqvServerGuard* guard = Guard()) authorized = guard->CheckLogin(AUserName, authorized, Port(), AConnection->PeerIP);
  if (!authorized) {
    ResetConnection(AConnection);
    throw EqvPop3ServerError(ACommand, kIncorrectLogin);
  }
  AConnection->FUserName = name;
  SetState(AConnection, psTransaction, ACommand);
  AConnection->FMailBox->Clear();
  DoMailBoxInfo(AConnection, *AConnection->FMailBox);
  const TqvPop3MessageList& box = *AConnection->FMailBox;
  SendResponse(AConnection, ACommand,
               "+OK " + std::to_string(box.ActiveCount()) + " messages (" + std::to_string(box.ActiveSize()) +
                   " octets)");
}

void TqvPop3Server::CmdUser(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (FUseAuth == pmUseSASL) throw EqvPop3ServerError(AParams->Command, kInvalidCommand);
  AConnection->FUserName = AParams->Params;
  SendResponse(AConnection, AParams->Command, kSendPass);
}

void TqvPop3Server::CmdPass(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (FUseAuth == pmUseSASL) throw EqvPop3ServerError(AParams->Command, kInvalidCommand);
  const std::string password = AParams->Params;
  Login(AConnection, AParams->Command, AConnection->FUserName,
        [&password](const TqvUserAccountItem& a) { return a.CheckPassword(password); }, false);
}

void TqvPop3Server::CmdApop(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (FUseAuth == pmUseSASL) throw EqvPop3ServerError(AParams->Command, kInvalidCommand);
  const std::vector<std::string> words = Words(Trim(AParams->Params));
  if (words.size() != 2) throw EqvPop3ServerError(AParams->Command, kInvalidCommand);
  const std::string stamp = AConnection->FTimeStamp;
  const std::string digest = words[1];
  Login(AConnection, AParams->Command, words[0],
        [&](const TqvUserAccountItem& a) {
          // Without a stamp the digest would be md5(password): a reusable credential.
          return !stamp.empty() && !a.Password().empty() && CalcMd5Hex(stamp + a.Password()) == digest;
        },
        false);
}

// --- AUTH

void TqvPop3Server::CmdAuth(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (FUseAuth == pmUsePOPAuth) throw EqvPop3ServerError(AParams->Command, kInvalidCommand);
  const std::vector<std::string> words = Words(Trim(AParams->Params));
  if (words.empty()) {
    std::unique_ptr<TStrings> lines = std::make_unique<TStringList>();
    lines->Add(kOk);
    for (const TqvServerSaslFlag m : {ssUseNTLM, ssUseCramMD5})
      if (FSaslFlags & SaslFlag(m)) lines->Add(SaslMechanismName(m));
    SendMultipleLinesAll(AConnection, lines, ".");
    return;
  }
  const std::optional<TqvServerSaslFlag> mechanism = OfferedSaslMechanism(words[0], FSaslFlags);
  if (!mechanism || *mechanism == ssUseLogin) throw EqvPop3ServerError(AParams->Command, kInvalidCommand);
  TqvSaslServerExchange::TStartInfo start;
  start.Challenge = [this] { return GenerateChallenge(); };
  start.HostName = LocalHost();
  start.Passwords = [this, AConnection](const std::string& AUser, std::string& APassword) {
    std::unique_ptr<TqvMailUserAccountItem> created;
    DoCreateUserAccount(AConnection, AUser, created);
    const TqvUserAccountItem* a = created ? created.get() : FUserAccounts->FindAccount(AUser);
    if (!a) return false;
    APassword = a->Password();
    return true;
  };
  AConnection->FSasl = TqvSaslServerExchange::Start(*mechanism, start);
  SendResponse(AConnection, AParams->Command,
               *mechanism == ssUseNTLM ? std::string(kNtlmGoAhead) : "+ " + AConnection->FSasl->FirstChallenge());
  ExpectAuthLine(AConnection, &TqvPop3Server::SaslStep);
}

void TqvPop3Server::ExpectAuthLine(TqvPop3CommandConnection* AConnection, THandler AStep) {
  AConnection->FInAuthExchange = true;
  StartReadLine(AConnection, std::make_unique<TqvTcpCommandFunc>(
                                 "AUTH", [this, AStep](TqvCommandConnection* c, TqvTcpCommandParams* p) {
                                   (this->*AStep)(Pop3(c), p);
                                 }));
}

void TqvPop3Server::AbortAuth(TqvPop3CommandConnection* AConnection) {
  ResetConnection(AConnection);
  throw EqvPop3ServerError("AUTH", kAuthAborted);
}

void TqvPop3Server::SaslStep(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  // Back to commands whatever this line does.
  AConnection->FInAuthExchange = false;
  SetCommandHandler(AConnection);
  TqvSaslServerExchange* sasl = AConnection->FSasl.get();
  const TqvSaslServerExchange::TStatus status =
      sasl ? sasl->Step(AParams->Params) : TqvSaslServerExchange::TStatus::Aborted;
  if (status == TqvSaslServerExchange::TStatus::Aborted) AbortAuth(AConnection);
  if (status == TqvSaslServerExchange::TStatus::Continue) {
    SendResponse(AConnection, AParams->Command, "+ " + sasl->NextChallenge());
    ExpectAuthLine(AConnection, &TqvPop3Server::SaslStep);
    return;
  }
  const std::unique_ptr<TqvSaslServerExchange> done = std::move(AConnection->FSasl);
  Login(AConnection, AParams->Command, done->UserName(),
        [&done](const TqvUserAccountItem& a) { return done->CheckDigest(a.Password()); },
        done->Mechanism() == ssUseNTLM);
}
