// Sessions, states, replies and login of the IMAP4 server; the mailbox
// commands and the records are in qvImap4MailBoxCommands.cpp.
#include "qvImap4Server.h"

#include "qvHostResolver.h"
#include "qvImap4FetchCache.h"
#include "qvMailUtils.h"
#include "qvServerSasl.h"
#include "qvTextUtils.h"
#include "qvTranslator.h"

namespace {

TqvImap4CommandConnection* Imap(TqvCommandConnection* AConnection) {
  return static_cast<TqvImap4CommandConnection*>(AConnection);
}

constexpr char kUnrecognizedAuth[] = "Unrecognized authentication type";

}  // namespace

// --- parameters and command infos

void TqvImap4CommandParams::Parse(const std::string& ALine) {
  RawLine = ALine;
  Lines = nullptr;
  Tag.clear();
  Command.clear();
  Params.clear();
  std::vector<std::string> tokens;
  std::string token;
  bool uid = false;
  for (const char c : ALine) {
    // After the command (the sub-command of UID) the rest is one token.
    const bool rest = (tokens.size() >= 2 && !uid) || tokens.size() >= 3;
    if (c == ' ' && !(rest && !token.empty())) {
      if (!token.empty()) tokens.push_back(token);
      if (tokens.size() == 2 && token.size() == 3) uid = qvtext::UpperCase(token) == "UID";
      token.clear();
      continue;
    }
    token += c;
  }
  if (!token.empty()) tokens.push_back(token);
  switch (tokens.size()) {
    case 0: break;
    case 1: Command = qvtext::UpperCase(tokens[0]); break;
    case 2:
    case 3:
      Tag = tokens[0];
      Command = qvtext::UpperCase(tokens[1]);
      if (tokens.size() == 3) Params = tokens[2];
      break;
    default:
      Tag = tokens[0];
      Command = qvtext::UpperCase(tokens[1]) + " " + qvtext::UpperCase(tokens[2]);
      Params = tokens[3];
      break;
  }
}

void TqvImap4CommandParams::InitFromLine(const TqvProcessLineContext& AContext) {
  TqvTcpCommandParams::InitFromLine(AContext);
  const auto* info = dynamic_cast<const TqvImap4CommandInfo*>(AContext.CommandInfo);
  Tag = info ? info->Tag : std::string();
}

void TqvImap4CommandParams::InitFromLines(const TqvProcessMultiLineContext& AContext) {
  TqvTcpCommandParams::InitFromLines(AContext);
  const auto* info = dynamic_cast<const TqvImap4CommandInfo*>(AContext.CommandInfo);
  Tag = info ? info->Tag : std::string();
}

void TqvImap4CommandInfo::Execute(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  auto* params = dynamic_cast<TqvImap4CommandParams*>(AParams);
  if (!params) throw EInvalidCast();
  if (Handler) Handler(Imap(AConnection), params);
}

// --- connection

TqvImap4CommandConnection::TqvImap4CommandConnection() = default;
TqvImap4CommandConnection::~TqvImap4CommandConnection() = default;

// --- server

TqvImap4Server::TqvImap4Server(TComponent* AOwner)
    : TqvTcpCommandServer(AOwner),
      FUserAccounts(std::make_unique<TqvMailUserAccountList>(true)),
      FCapabilities(std::make_unique<TStringList>()),
      FFetchCache(std::make_unique<TqvImap4FetchCache>(kFetchCacheBytes)) {
  SetPort(143);
  SetServerName("Quorvin Mail Kit - Ostra Edition IMAP4 service");
}

TqvImap4Server::~TqvImap4Server() { Stop(); }

std::string TqvImap4Server::LocalHost() const { return FHostName.empty() ? GetLocalHostName() : FHostName; }
std::string TqvImap4Server::GenerateChallenge() { return GenerateTalmerixoMessageId(LocalHost()); }

TqvUserConnectionPtr TqvImap4Server::CreateDefaultConnection() {
  return std::make_shared<TqvImap4CommandConnection>();
}

void TqvImap4Server::DoCreateCommandParams(TqvCommandConnection* AConnection,
                                           std::unique_ptr<TqvTcpCommandParams>& AParams) {
  TqvTcpCommandServer::DoCreateCommandParams(AConnection, AParams);
  if (!AParams) AParams = std::make_unique<TqvImap4CommandParams>();
}

void TqvImap4Server::Add(const char* AName, THandler AHandler, uint8_t AStates) {
  Commands().AddCommand(std::make_unique<TqvImap4CommandInfo>(
      AName, [this, AHandler, AStates](TqvImap4CommandConnection* c, TqvImap4CommandParams* p) {
        if (AStates != sAny) {
          if (UseTLS == stExplicitRequire && !IsTlsConnection(c))
            throw EqvImap4ServerError(p->Command, p->Tag, "BAD", "Must issue a STARTTLS command first");
          if (!(AStates & (1u << c->FState)))
            throw EqvImap4ServerError(p->Command, p->Tag, "BAD", "Bad state for " + p->Command);
        }
        (this->*AHandler)(c, p);
      }));
}

void TqvImap4Server::AddCommands() {
  const uint8_t authenticated = sAuth | sSelected;
  Add("LOGIN", &TqvImap4Server::CmdLogin, sNotAuth);
  Add("AUTHENTICATE", &TqvImap4Server::CmdAuthenticate, sNotAuth);
  Add("LOGOUT", &TqvImap4Server::CmdLogout, sAny);
  Add("CAPABILITY", &TqvImap4Server::CmdCapability, sAny);
  Add("LIST", &TqvImap4Server::CmdList, authenticated);
  Add("CREATE", &TqvImap4Server::CmdCreate, authenticated);
  Add("DELETE", &TqvImap4Server::CmdDelete, authenticated);
  Add("RENAME", &TqvImap4Server::CmdRename, authenticated);
  Add("LSUB", &TqvImap4Server::CmdList, authenticated);
  Add("SUBSCRIBE", &TqvImap4Server::CmdSubscribe, authenticated);
  Add("UNSUBSCRIBE", &TqvImap4Server::CmdSubscribe, authenticated);
  Add("SELECT", &TqvImap4Server::CmdSelect, authenticated);
  Add("EXAMINE", &TqvImap4Server::CmdSelect, authenticated);
  Add("STATUS", &TqvImap4Server::CmdStatus, authenticated);
  Add("NOOP", &TqvImap4Server::CmdNoop, sAny);
  Add("CHECK", &TqvImap4Server::CmdCheck, sAny);
  Add("STARTTLS", &TqvImap4Server::CmdStartTls, sAny);
  Add("APPEND", &TqvImap4Server::CmdAppend, authenticated);
  Add("NAMESPACE", &TqvImap4Server::CmdNamespace, authenticated);
  Add("SEARCH", &TqvImap4Server::CmdSearch, sSelected);
  Add("COPY", &TqvImap4Server::CmdCopy, sSelected);
  Add("STORE", &TqvImap4Server::CmdStore, sSelected);
  Add("CLOSE", &TqvImap4Server::CmdExpunge, sSelected);
  Add("EXPUNGE", &TqvImap4Server::CmdExpunge, sSelected);
  Add("FETCH", &TqvImap4Server::CmdFetch, sSelected);
  Add("UID SEARCH", &TqvImap4Server::CmdSearch, sSelected);
  Add("UID COPY", &TqvImap4Server::CmdCopy, sSelected);
  Add("UID STORE", &TqvImap4Server::CmdStore, sSelected);
  Add("UID FETCH", &TqvImap4Server::CmdFetch, sSelected);
}

std::unique_ptr<TqvTcpCommandInfo> TqvImap4Server::CreateUnknownCommandInfo(TqvTcpCommandParams*) {
  return std::make_unique<TqvImap4CommandInfo>("", [](TqvImap4CommandConnection*, TqvImap4CommandParams* p) {
    throw EqvImap4ServerError(p->Command, p->Tag, "BAD", "Invalid command: " + p->Command);
  });
}

namespace {

// An error's text without the file paths it names (quoted texts holding a
// "/"): a client never learns where the store keeps its files.
std::string WithoutPaths(std::string AText) {
  for (size_t open = AText.find('"'); open != std::string::npos; open = AText.find('"', open)) {
    const size_t close = AText.find('"', open + 1);
    if (close == std::string::npos) break;
    if (AText.find('/', open) < close) {
      const size_t from = open > 0 && AText[open - 1] == ' ' ? open - 1 : open;
      AText.erase(from, close + 1 - from);
      open = from;
    } else {
      open = close + 1;
    }
  }
  return AText;
}

}  // namespace

void TqvImap4Server::DoCommandError(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                                    const std::exception& E) {
  auto* params = dynamic_cast<TqvImap4CommandParams*>(AParams);
  const std::string tag = params && !params->Tag.empty() ? params->Tag : std::string("*");
  SendResponse(AConnection, AParams ? AParams->Command : std::string(),
               tag + " BAD " + qvtext::Trim(WithoutPaths(E.what())));
}

void TqvImap4Server::DoAcceptConnection(TqvUserConnection* AConnection, bool& Handled) {
  TqvTcpCommandServer::DoAcceptConnection(AConnection, Handled);
  auto* c = dynamic_cast<TqvImap4CommandConnection*>(AConnection);
  if (!c || Handled) return;
  SendResponse(c, "", "* OK IMAP4rev1 " + ServerName() + " Ready");
}

// --- events

void TqvImap4Server::DoCreateUserAccount(TqvImap4CommandConnection* AConnection, const std::string& AUserName,
                                         std::unique_ptr<TqvMailUserAccountItem>& Account) {
  if (OnCreateUserAccount) OnCreateUserAccount(this, AConnection, AUserName, Account);
}
void TqvImap4Server::DoAuthenticate(TqvImap4CommandConnection* AConnection, TqvMailUserAccountItem*& Account,
                                    const std::string& AUserName, bool& IsAuthorized, bool& Handled) {
  if (OnAuthenticate) OnAuthenticate(this, AConnection, Account, AUserName, IsAuthorized, Handled);
}
void TqvImap4Server::DoStateChanged(TqvImap4CommandConnection* AConnection) {
  if (OnStateChanged) OnStateChanged(this, AConnection);
}
void TqvImap4Server::DoGetMailBoxes(TqvImap4CommandConnection* AConnection, const std::string& ASelectedMailBox,
                                    TqvImap4MailBoxList& AMailBoxes) {
  if (OnGetMailBoxes) OnGetMailBoxes(this, AConnection, ASelectedMailBox, AMailBoxes);
}
void TqvImap4Server::DoUpdateMailBox(TqvImap4CommandConnection* AConnection, TqvImap4MailBoxItem& AMailBox,
                                     bool& Success) {
  if (OnUpdateMailBox) OnUpdateMailBox(this, AConnection, AMailBox, Success);
}
void TqvImap4Server::DoCreateMailBox(TqvImap4CommandConnection* AConnection, const std::string& AMailBox,
                                     bool& Success) {
  if (OnCreateMailBox) OnCreateMailBox(this, AConnection, AMailBox, Success);
}
void TqvImap4Server::DoDeleteMailBox(TqvImap4CommandConnection* AConnection, const std::string& AMailBox,
                                     bool& Success) {
  if (OnDeleteMailBox) OnDeleteMailBox(this, AConnection, AMailBox, Success);
}
void TqvImap4Server::DoRenameMailBox(TqvImap4CommandConnection* AConnection, const std::string& ACurrentName,
                                     const std::string& ANewName, bool& Success) {
  if (OnRenameMailBox) OnRenameMailBox(this, AConnection, ACurrentName, ANewName, Success);
}
void TqvImap4Server::DoGetMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages,
                                   const std::string& AMailBox, bool& Success) {
  if (OnGetMessages) OnGetMessages(this, AConnection, AMessages, AMailBox, Success);
}
void TqvImap4Server::DoUpdateMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages,
                                      const std::string& AMailBox, bool& Success) {
  if (OnUpdateMessages) OnUpdateMessages(this, AConnection, AMessages, AMailBox, Success);
}
void TqvImap4Server::DoDeleteMessage(TqvImap4CommandConnection* AConnection, TqvImap4MessageItem& AMessage,
                                     const std::string& AMailBox, bool& Success) {
  if (OnDeleteMessage) OnDeleteMessage(this, AConnection, AMessage, AMailBox, Success);
}
void TqvImap4Server::DoGetMessageSource(TqvImap4CommandConnection* AConnection, TStrings& AMessageSource,
                                        const std::string& AMessageName, const std::string& AMailBox,
                                        bool& Success) {
  if (OnGetMessageSource) OnGetMessageSource(this, AConnection, AMessageSource, AMessageName, AMailBox, Success);
}
void TqvImap4Server::DoSearchMessage(TqvImap4CommandConnection* AConnection, TqvImap4MessageItem& AMessage,
                                     TStrings& AMessageSource, bool& Matches, bool& Handled) {
  if (OnSearchMessage) OnSearchMessage(this, AConnection, AMessage, AMessageSource, Matches, Handled);
}
void TqvImap4Server::DoAppendMessage(TqvImap4CommandConnection* AConnection, TqvMailMessageFlags AFlags,
                                     TDateTime ADate, const TStrings& AMessageSource, const std::string& AMailBox,
                                     bool& Success) {
  if (OnAppendMessage) OnAppendMessage(this, AConnection, AFlags, ADate, AMessageSource, AMailBox, Success);
}

// --- replies and state

std::string TqvImap4Server::TaggedLine(const TqvImap4CommandParams* AParams, const std::string& AText) {
  return (AParams->Tag.empty() ? std::string("*") : AParams->Tag) + " " + AText;
}

void TqvImap4Server::SendTagged(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                const std::string& AText) {
  SendResponse(AConnection, AParams->Command, TaggedLine(AParams, AText));
}

void TqvImap4Server::SendUntagged(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                  const std::string& AText) {
  SendResponse(AConnection, AParams->Command, UntaggedLine(AText));
}

void TqvImap4Server::SendRepliesAfter(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                      std::string& APending, std::initializer_list<std::string> ALines) {
  // A reply split over two writes leaves its last small segment waiting for
  // the client's delayed ACK (Nagle): one write per command instead.
  const std::string charset = GetResponseCharSet(AConnection);
  for (const std::string& line : ALines) {
    DoSendResponse(AConnection, AParams->Command, line);
    if (charset.empty()) {
      APending += line;
    } else {
      const TBytes bytes = TqvTranslator::GetBytes(line, charset);
      APending.append(bytes.begin(), bytes.end());
    }
    APending += "\r\n";
  }
  std::string bytes = std::exchange(APending, {});
  SendRawBytes(AConnection, bytes);
}

void TqvImap4Server::ChangeState(TqvImap4CommandConnection* AConnection, uint8_t AState) {
  if (AConnection->FState == AState) return;
  AConnection->FState = AState;
  AConnection->FSelectedMailBox.clear();
  DoStateChanged(AConnection);
}

void TqvImap4Server::ResetConnection(TqvImap4CommandConnection* AConnection) {
  AConnection->FState = 0;
  AConnection->FReadOnly = false;
  AConnection->FUserName.clear();
  AConnection->FSelectedMailBox.clear();
  AConnection->FSasl.reset();
}

// --- login

TqvMailUserAccountWrapper TqvImap4Server::LookupAccount(TqvImap4CommandConnection* AConnection,
                                                        const std::string& AUserName) {
  // An empty name would give the mailbox folder itself.
  if (AUserName.empty()) return TqvMailUserAccountWrapper();
  std::unique_ptr<TqvMailUserAccountItem> created;
  DoCreateUserAccount(AConnection, AUserName, created);
  if (created) return TqvMailUserAccountWrapper(std::move(created));
  return TqvMailUserAccountWrapper(FUserAccounts->FindAccount(AUserName));
}

void TqvImap4Server::FinishLogin(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                 const std::string& AUserName, bool AAuthorized,
                                 const TqvMailUserAccountItem* AAccount) {
  if (TqvServerGuard* guard = Guard())
    AAuthorized = guard->CheckLogin(AUserName, AAuthorized, Port(), AConnection->PeerIP);
  // The store's folder is the account's own name, never the typed spelling
  // (a name the host's OnAuthenticate let in without an account stays).
  const std::string name = AAccount ? AAccount->UserName() : AUserName;
  if (!AAuthorized || name.empty()) {
    ResetConnection(AConnection);
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", AParams->Command + " failed");
  }
  AConnection->FUserName = name;
  ChangeState(AConnection, 1);
  SendTagged(AConnection, AParams, "OK " + AParams->Command + " completed");
}

void TqvImap4Server::CmdLogin(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  if (FUseAuth == imUseSASL) throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", kUnrecognizedAuth);
  const std::vector<std::string> words = SplitImapArguments(AParams->Params, ismQuotes);
  if (words.size() != 2)
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", AParams->Command + " parse error");
  AConnection->FUserName = words[0];
  const TqvMailUserAccountWrapper account = LookupAccount(AConnection, words[0]);
  TqvMailUserAccountItem* item = account.Item();
  bool authorized = false, handled = false;
  DoAuthenticate(AConnection, item, words[0], authorized, handled);
  if (!handled && item) authorized = item->CheckPassword(words[1]);
  FinishLogin(AConnection, AParams, words[0], authorized, item);
}

void TqvImap4Server::CmdAuthenticate(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  if (FUseAuth != imUseSASL && FUseAuth != imUseBoth)
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", kUnrecognizedAuth);
  const std::string mechanism = qvtext::UpperCase(qvtext::Trim(AParams->Params));
  if (mechanism == "CRAM-MD5" && (FSaslFlags & SaslFlag(ssUseCramMD5))) {
    AConnection->FSasl = TqvSaslServerExchange::CramMd5(GenerateChallenge());
  } else if (mechanism == "NTLM" && (FSaslFlags & SaslFlag(ssUseNTLM))) {
    AConnection->FSasl = TqvSaslServerExchange::Ntlm(
        LocalHost(), [this, AConnection](const std::string& AUser, std::string& APassword) {
          const TqvMailUserAccountWrapper account = LookupAccount(AConnection, AUser);
          if (!account.Item()) return false;
          APassword = account.Item()->Password();
          return true;
        });
  } else {
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", kUnrecognizedAuth);
  }
  ExpectAuthLine(AConnection, AParams->Tag);
  // RFC 3501's continuation is "+" and a blank, also with no data after it.
  SendResponse(AConnection, AParams->Command, "+ " + AConnection->FSasl->FirstChallenge());
}

void TqvImap4Server::ExpectAuthLine(TqvImap4CommandConnection* AConnection, const std::string& ATag) {
  StartReadLine(AConnection, std::make_unique<TqvImap4CommandInfo>(
                                 "AUTHENTICATE",
                                 [this](TqvImap4CommandConnection* c, TqvImap4CommandParams* p) { AuthStep(c, p); },
                                 ATag));
}

void TqvImap4Server::AuthStep(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  // Back to commands whatever this line does, unless the exchange goes on.
  SetCommandHandler(AConnection);
  TqvSaslServerExchange* sasl = AConnection->FSasl.get();
  const TqvSaslServerExchange::TStatus status =
      sasl ? sasl->Step(AParams->Params) : TqvSaslServerExchange::TStatus::Aborted;
  if (status == TqvSaslServerExchange::TStatus::Aborted) {
    ResetConnection(AConnection);
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", "Authentication aborted");
  }
  if (status == TqvSaslServerExchange::TStatus::Continue) {
    ExpectAuthLine(AConnection, AParams->Tag);
    SendResponse(AConnection, AParams->Command, "+ " + sasl->NextChallenge());
    return;
  }
  const std::string user = sasl->UserName();
  AConnection->FUserName = user;
  const TqvMailUserAccountWrapper account = LookupAccount(AConnection, user);
  TqvMailUserAccountItem* item = account.Item();
  const bool authorized = sasl->Authorize(item, [&](TqvMailUserAccountItem*& a, bool& ok, bool& handled) {
    DoAuthenticate(AConnection, a, user, ok, handled);
  });
  AConnection->FSasl.reset();
  FinishLogin(AConnection, AParams, user, authorized, item);
}

// --- the other commands of every state

void TqvImap4Server::CmdCapability(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  std::string line = "CAPABILITY IMAP4REV1";
  if (FUseAuth == imUseSASL || FUseAuth == imUseBoth) {
    if (FSaslFlags & SaslFlag(ssUseCramMD5)) line += " AUTH=CRAM-MD5";
    if (FSaslFlags & SaslFlag(ssUseNTLM)) line += " AUTH=NTLM";
  }
  if (UseTLS != stNone && !IsTlsConnection(AConnection)) line += " STARTTLS";
  for (int i = 0; i < FCapabilities->Count(); ++i) line += " " + FCapabilities->Strings(i);
  std::string none;
  SendRepliesAfter(AConnection, AParams, none, {UntaggedLine(line), TaggedLine(AParams, "OK CAPABILITY completed")});
}

void TqvImap4Server::CmdNoop(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  SendTagged(AConnection, AParams, "OK NOOP completed");
}

void TqvImap4Server::CmdNamespace(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  // One personal namespace, the account's own folders; no others (RFC 2342).
  SendUntagged(AConnection, AParams, "NAMESPACE ((\"\" " + QuoteImapString(std::string(1, FMailBoxSeparator)) + ")) NIL NIL");
  SendTagged(AConnection, AParams, "OK NAMESPACE completed");
}

void TqvImap4Server::CmdCheck(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  SendTagged(AConnection, AParams, "OK CHECK completed");
}

void TqvImap4Server::CmdStartTls(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  if (UseTLS == stNone || UseTLS == stImplicit || IsTlsConnection(AConnection))
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "NO", "you have already logged in");
  ResetConnection(AConnection);
  StartTls(AConnection);
  SendTagged(AConnection, AParams, "OK begin TLS negotiation");
}

void TqvImap4Server::CmdLogout(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  try {
    SendUntagged(AConnection, AParams, "BYE IMAP engine signing off");
    SendResponseAndClose(AConnection, AParams->Command,
                         (AParams->Tag.empty() ? std::string("*") : AParams->Tag) + " OK LOGOUT completed");
  } catch (const EqvSocketError&) {
    // The client has gone already.
  }
}
