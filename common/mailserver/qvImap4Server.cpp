// Sessions, states, replies and login of the IMAP4 server; the mailbox
// commands and the records are in qvImap4MailBoxCommands.cpp.
#include "qvImap4Server.h"

#include <algorithm>
#include <optional>

#include "Decimal.h"
#include "qvHostResolver.h"
#include "qvImap4FetchCache.h"
#include "qvMailServerLimits.h"
#include "qvMailUtils.h"
#include "qvServerSasl.h"
#include "qvTextUtils.h"
#include "qvTranslator.h"

namespace {

TqvImap4CommandConnection* Imap(TqvCommandConnection* AConnection) {
  return static_cast<TqvImap4CommandConnection*>(AConnection);
}

TqvImap4CommandParams& ImapParams(TqvTcpCommandParams* AParams) {
  auto* p = dynamic_cast<TqvImap4CommandParams*>(AParams);
  if (!p) throw EInvalidCast();
  return *p;
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
    case 1:
      // A tag followed by nothing but blanks or control bytes: the word is
      // the tag, and there is no command.
      if (TrimmedTail)
        Tag = tokens[0];
      else
        Command = qvtext::UpperCase(tokens[0]);
      break;
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
  SetSessionTimeOut(kSessionTimeOutMs);
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

namespace {

constexpr TqvCommandStates kNotAuth = CommandState(0);
constexpr TqvCommandStates kSelected = CommandState(2);
constexpr TqvCommandStates kAuthenticated = CommandState(1) | kSelected;
// A command of every state needs no TLS either.
constexpr TqvCommandStates kAny = kqvAnyCommandState;

}  // namespace

constexpr TqvImap4Server::TCommandEntry TqvImap4Server::kCommands[] = {
    {"LOGIN", &TqvImap4Server::CmdLogin, kNotAuth, cfNeedsTls | cfSecretAfterFirstWord | cfSecretParams},
    {"AUTHENTICATE", &TqvImap4Server::CmdAuthenticate, kNotAuth, cfNeedsTls | cfSecretAnswers},
    {"LOGOUT", &TqvImap4Server::CmdLogout, kAny, 0},
    {"CAPABILITY", &TqvImap4Server::CmdCapability, kAny, 0},
    {"LIST", &TqvImap4Server::CmdList, kAuthenticated, cfNeedsTls},
    {"CREATE", &TqvImap4Server::CmdCreate, kAuthenticated, cfNeedsTls},
    {"DELETE", &TqvImap4Server::CmdDelete, kAuthenticated, cfNeedsTls},
    {"RENAME", &TqvImap4Server::CmdRename, kAuthenticated, cfNeedsTls},
    {"LSUB", &TqvImap4Server::CmdList, kAuthenticated, cfNeedsTls},
    {"SUBSCRIBE", &TqvImap4Server::CmdSubscribe, kAuthenticated, cfNeedsTls},
    {"UNSUBSCRIBE", &TqvImap4Server::CmdSubscribe, kAuthenticated, cfNeedsTls},
    {"SELECT", &TqvImap4Server::CmdSelect, kAuthenticated, cfNeedsTls},
    {"EXAMINE", &TqvImap4Server::CmdSelect, kAuthenticated, cfNeedsTls},
    {"STATUS", &TqvImap4Server::CmdStatus, kAuthenticated, cfNeedsTls},
    {"NOOP", &TqvImap4Server::CmdNoop, kAny, 0},
    {"CHECK", &TqvImap4Server::CmdCheck, kSelected, cfNeedsTls},
    {"STARTTLS", &TqvImap4Server::CmdStartTls, kAny, 0},
    {"APPEND", &TqvImap4Server::CmdAppend, kAuthenticated, cfNeedsTls},
    {"NAMESPACE", &TqvImap4Server::CmdNamespace, kAuthenticated, cfNeedsTls},
    {"SEARCH", &TqvImap4Server::CmdSearch, kSelected, cfNeedsTls},
    {"COPY", &TqvImap4Server::CmdCopy, kSelected, cfNeedsTls},
    {"STORE", &TqvImap4Server::CmdStore, kSelected, cfNeedsTls},
    {"CLOSE", &TqvImap4Server::CmdExpunge, kSelected, cfNeedsTls},
    {"EXPUNGE", &TqvImap4Server::CmdExpunge, kSelected, cfNeedsTls},
    {"FETCH", &TqvImap4Server::CmdFetch, kSelected, cfNeedsTls},
    {"UID SEARCH", &TqvImap4Server::CmdSearch, kSelected, cfNeedsTls},
    {"UID COPY", &TqvImap4Server::CmdCopy, kSelected, cfNeedsTls},
    {"UID STORE", &TqvImap4Server::CmdStore, kSelected, cfNeedsTls},
    {"UID FETCH", &TqvImap4Server::CmdFetch, kSelected, cfNeedsTls},
};
const TqvCommandMasks TqvImap4Server::kCommandMasks(kCommands);

void TqvImap4Server::AddCommands() { AddCommandTable(this, kCommands); }

void TqvImap4Server::RefuseCommand(TqvCommandConnection*, TqvTcpCommandParams* AParams, TqvCommandRefusal AWhy,
                                   TqvCommandStates) {
  const std::string& tag = ImapParams(AParams).Tag;
  if (AWhy == TqvCommandRefusal::NeedsTls)
    throw EqvImap4ServerError(AParams->Command, tag, "BAD", "Must issue a STARTTLS command first");
  throw EqvImap4ServerError(AParams->Command, tag, "BAD", "Bad state for " + AParams->Command);
}

bool TqvImap4Server::StartCommandData(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  return StartLiteral(Imap(AConnection), &ImapParams(AParams));
}

// --- literals of ordinary arguments

bool TqvImap4Server::StartLiteral(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const std::string& line = AParams->RawLine;
  if (line.size() < 3 || line.back() != '}') return false;
  const size_t open = line.rfind('{');
  if (open == std::string::npos || open + 2 > line.size() - 1) return false;
  const std::string digits = line.substr(open + 1, line.size() - open - 2);
  const std::optional<int64_t> parsed = digits.size() > 9 ? std::nullopt : plat::ParseDecimal<int64_t>(digits);
  if (!parsed) return false;
  // APPEND's literal after the mailbox is the message.
  if (AParams->Command == "APPEND" && qvtext::Trim(AParams->Params).size() > digits.size() + 2) return false;
  const int64_t size = *parsed;
  if (static_cast<int64_t>(open) + size * 2 + 2 > qvMaxCommandLineBytes)
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", "Literal too large");
  AConnection->FLiteralLine = line.substr(0, open);
  const std::string tag = AParams->Tag;
  StartReadFixedBytes(AConnection,
                      std::make_unique<TqvImap4CommandInfo>(
                          AParams->Command,
                          [this](TqvImap4CommandConnection* c, TqvImap4CommandParams* p) { LiteralArrived(c, p); }, tag),
                      size);
  SendResponse(AConnection, AParams->Command, "+ Ready for literal data");
  AcknowledgeNextPromptly(AConnection);
  return true;
}

void TqvImap4Server::LiteralArrived(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  std::string literal;
  if (AParams->Lines)
    for (int i = 0; i < AParams->Lines->Count(); ++i)
      literal += (i > 0 ? "\r\n" : "") + AParams->Lines->Strings(i);
  AConnection->FLiteralLine += QuoteImapString(literal);
  // The rest of the command line, which may end in another literal.
  StartReadLine(AConnection, std::make_unique<TqvImap4CommandInfo>(
                                 AParams->Command,
                                 [this](TqvImap4CommandConnection* c, TqvImap4CommandParams* p) { LiteralLineEnded(c, p); },
                                 AParams->Tag));
}

void TqvImap4Server::LiteralLineEnded(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  SetCommandHandler(AConnection);
  std::string line = std::exchange(AConnection->FLiteralLine, {}) + AParams->Params;
  if (static_cast<int64_t>(line.size()) > qvMaxCommandLineBytes)
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", "Literal too large");
  std::unique_ptr<TqvTcpCommandParams> params;
  DoCreateCommandParams(AConnection, params);
  params->Parse(line);
  if (TqvTcpCommandInfo* info = Commands().FindCommand(params->Command)) {
    ExecuteCommand(AConnection, info, params.get());
    return;
  }
  params->Unknown = true;
  const std::unique_ptr<TqvTcpCommandInfo> unknown = CreateUnknownCommandInfo(params.get());
  ExecuteCommand(AConnection, unknown.get(), params.get());
}

void TqvImap4Server::DoMaxDataSizeExceeded(TqvCommandConnection* AConnection, bool& Handled) {
  // Only a line can be over its bound here (literals are bounded before the
  // client is asked for them): the connection closes after this.
  if (dynamic_cast<TqvProcessFixedBytesHandler*>(AConnection->DataHandler())) return;
  Handled = true;
  SendResponse(AConnection, "", "* BYE Command line too long");
}

void TqvImap4Server::DoSessionTimeOut(TqvUserConnection* AConnection) {
  if (auto* c = dynamic_cast<TqvImap4CommandConnection*>(AConnection))
    SendResponse(c, "", "* BYE Autologout; idle for too long");
}

std::unique_ptr<TqvTcpCommandInfo> TqvImap4Server::CreateUnknownCommandInfo(TqvTcpCommandParams*) {
  return std::make_unique<TqvImap4CommandInfo>("", [](TqvImap4CommandConnection*, TqvImap4CommandParams* p) {
    // A word that cannot be a command is not echoed back.
    const bool word = !p->Command.empty() && p->Command.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-. ") ==
                                                 std::string::npos;
    throw EqvImap4ServerError(p->Command, p->Tag, "BAD", word ? "Invalid command: " + p->Command : "Invalid command");
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
  SendRepliesAfter(AConnection, AParams, APending, std::vector<std::string>(ALines));
}

void TqvImap4Server::SendRepliesAfter(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                      std::string& APending, const std::vector<std::string>& ALines) {
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

void TqvImap4Server::SendTaggedWithUpdates(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                           const std::string& AText, std::string& APending) {
  std::vector<std::string> lines = ViewUpdates(AConnection, AParams);
  lines.push_back(TaggedLine(AParams, AText));
  SendRepliesAfter(AConnection, AParams, APending, lines);
}

void TqvImap4Server::SendUntaggedAndTagged(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                           const std::string& AUntagged, const std::string& AText) {
  std::vector<std::string> lines{AUntagged};
  std::vector<std::string> updates = ViewUpdates(AConnection, AParams);
  lines.insert(lines.end(), updates.begin(), updates.end());
  lines.push_back(TaggedLine(AParams, AText));
  std::string none;
  SendRepliesAfter(AConnection, AParams, none, lines);
}

// --- the session's view of its selected mailbox

std::vector<std::string> TqvImap4Server::ViewUpdates(TqvImap4CommandConnection* AConnection,
                                                     TqvImap4CommandParams* AParams) {
  std::vector<std::string> lines;
  if (AConnection->FState != 2) return lines;
  const std::string& command = AParams->Command;
  const bool uid = command.rfind("UID ", 0) == 0;
  // RFC 3501 7.4.1: no EXPUNGE while answering FETCH, STORE or SEARCH.
  const bool expunge = uid || !(command == "FETCH" || command == "STORE" || command == "SEARCH");
  // Updates carry no UID, as other servers send them: only the FETCH lines
  // a UID command asked for must (RFC 3501 6.4.8).
  SyncView(AConnection, expunge, false, lines);
  return lines;
}

void TqvImap4Server::SyncView(TqvImap4CommandConnection* AConnection, bool AExpunge, bool AWithUid,
                              std::vector<std::string>& ALines) {
  TqvImap4MessageList stored;
  bool success = true;
  DoGetMessages(AConnection, stored, AConnection->FSelectedMailBox, success);
  // A mailbox that has gone tells nothing; its commands answer NO.
  if (!success) return;
  TqvImap4MessageSnapshotPtr snapshot = stored.Snapshot();
  TqvImap4SessionView& view = AConnection->FView;
  if (view.SyncedWith(snapshot)) return;
  // New messages are at the end: without a UID, then above the view's last.
  const int64_t last = view.LastUid();
  bool claim = false;
  for (int i = stored.Count(); i-- > 0 && !claim;) {
    const TqvImap4MessageItem* m = stored.Peek(i);
    if (m->UID >= 0 && m->UID <= last) break;
    claim = m->UID < 0 || (!AConnection->FReadOnly && (m->Flags & MessageFlag(mfRecent)));
  }
  std::vector<int64_t> claimed = std::move(AConnection->FClaimed);
  AConnection->FClaimed.clear();
  if (claim) {
    ClaimNewMessages(AConnection, stored, claimed);
    snapshot = stored.Snapshot();
  }
  std::sort(claimed.begin(), claimed.end());
  const bool readOnly = AConnection->FReadOnly;
  view.Update(stored, AExpunge, AWithUid,
              [&](const TqvImap4MessageItem& m) {
                // EXAMINE shows what no session has taken, and takes nothing.
                return readOnly ? (m.Flags & MessageFlag(mfRecent)) != 0
                                : std::binary_search(claimed.begin(), claimed.end(), m.UID);
              },
              ALines);
  view.MarkSynced(snapshot);
}

void TqvImap4Server::ClaimNewMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AStored,
                                      std::vector<int64_t>& AClaimed) {
  std::scoped_lock lock(FClaimLock);
  const std::string& name = AConnection->FSelectedMailBox;
  const auto reload = [&] {
    AStored.Clear();
    bool success = true;
    DoGetMessages(AConnection, AStored, name, success);
    return success;
  };
  if (!reload()) return;
  bool unnumbered = false;
  for (int i = 0; i < AStored.Count() && !unnumbered; ++i) unnumbered = AStored.Peek(i)->UID < 0;
  if (unnumbered) {
    const std::unique_ptr<TqvImap4MailBoxList> boxes = FindMailBoxes(AConnection, name);
    if (boxes->Count() == 1) {
      AssignUids(AConnection, *boxes->Items(0), AStored, nullptr, !AConnection->FReadOnly);
      AClaimed.insert(AClaimed.end(), AConnection->FClaimed.begin(), AConnection->FClaimed.end());
      AConnection->FClaimed.clear();
      bool success = true;
      DoUpdateMailBox(AConnection, *boxes->Items(0), success);
    }
    if (!reload()) return;
  }
  if (AConnection->FReadOnly) return;
  const int64_t last = AConnection->FView.LastUid();
  TqvImap4MessageList taken(false);
  for (int i = 0; i < AStored.Count(); ++i) {
    const TqvImap4MessageItem* m = AStored.Peek(i);
    if (m->UID <= last || !(m->Flags & MessageFlag(mfRecent))) continue;
    TqvImap4MessageItem* own = AStored.Items(i);
    own->Flags &= static_cast<TqvMailMessageFlags>(~MessageFlag(mfRecent));
    taken.AddRef(own);
    AClaimed.push_back(own->UID);
  }
  if (taken.Count() == 0) return;
  bool success = true;
  DoUpdateMessages(AConnection, taken, name, success);
}

TqvImap4MessageList& TqvImap4Server::SessionMessages(TqvImap4CommandConnection* AConnection,
                                                     TqvImap4MessageList& AStored, TqvImap4MessageList& AOwn) {
  const TqvImap4SessionView& view = AConnection->FView;
  if (view.SameAs(AStored)) {
    AStored.Renumber();
    return AStored;
  }
  AOwn.Clear();
  int j = 0;
  for (int k = 0; k < view.Count(); ++k) {
    const int64_t uid = view.Uid(k);
    while (j < AStored.Count() && AStored.Peek(j)->UID >= 0 && AStored.Peek(j)->UID < uid) ++j;
    std::unique_ptr<TqvImap4MessageItem> item;
    if (j < AStored.Count() && AStored.Peek(j)->UID == uid) {
      item = std::make_unique<TqvImap4MessageItem>(*AStored.Peek(j));
    } else {
      // Expunged by another session and not yet reported.
      item = std::make_unique<TqvImap4MessageItem>(0.0);
      item->UID = uid;
      item->Flags = view.Flags(k);
    }
    AOwn.Add(std::move(item));
  }
  AOwn.Renumber();
  return AOwn;
}

void TqvImap4Server::ChangeState(TqvImap4CommandConnection* AConnection, uint8_t AState) {
  if (AConnection->FState == AState) return;
  AConnection->FState = AState;
  AConnection->FSelectedMailBox.clear();
  AConnection->FView.Clear();
  DoStateChanged(AConnection);
}

void TqvImap4Server::ResetConnection(TqvImap4CommandConnection* AConnection) {
  AConnection->FState = 0;
  AConnection->FReadOnly = false;
  AConnection->FUserName.clear();
  AConnection->FSelectedMailBox.clear();
  AConnection->FView.Clear();
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
    // RFC 3501 6.2.3: a refused login is NO; BAD is for syntax.
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "NO", AParams->Command + " failed");
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
  const std::optional<TqvServerSaslFlag> mechanism = OfferedSaslMechanism(qvtext::Trim(AParams->Params), FSaslFlags);
  if (!mechanism || *mechanism == ssUseLogin)
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "BAD", kUnrecognizedAuth);
  TqvSaslServerExchange::TStartInfo start;
  start.Challenge = [this] { return GenerateChallenge(); };
  start.HostName = LocalHost();
  start.Passwords = [this, AConnection](const std::string& AUser, std::string& APassword) {
    const TqvMailUserAccountWrapper account = LookupAccount(AConnection, AUser);
    if (!account.Item()) return false;
    APassword = account.Item()->Password();
    return true;
  };
  AConnection->FSasl = TqvSaslServerExchange::Start(*mechanism, start);
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
    for (const TqvServerSaslFlag m : {ssUseCramMD5, ssUseNTLM})
      if (FSaslFlags & SaslFlag(m)) line += std::string(" AUTH=") + SaslMechanismName(m);
  }
  if (UseTLS != stNone && !IsTlsConnection(AConnection)) line += " STARTTLS";
  for (int i = 0; i < FCapabilities->Count(); ++i) line += " " + FCapabilities->Strings(i);
  SendUntaggedAndTagged(AConnection, AParams, UntaggedLine(line), "OK CAPABILITY completed");
}

void TqvImap4Server::CmdNoop(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  SendTaggedWithUpdates(AConnection, AParams, "OK NOOP completed");
}

void TqvImap4Server::CmdNamespace(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  // One personal namespace, the account's own folders; no others (RFC 2342).
  const std::string line = "* NAMESPACE ((\"\" " + QuoteImapString(std::string(1, FMailBoxSeparator)) + ")) NIL NIL";
  SendUntaggedAndTagged(AConnection, AParams, line, "OK NAMESPACE completed");
}

void TqvImap4Server::CmdCheck(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  SendTaggedWithUpdates(AConnection, AParams, "OK CHECK completed");
}

void TqvImap4Server::CmdStartTls(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  if (UseTLS == stNone || UseTLS == stImplicit || IsTlsConnection(AConnection))
    throw EqvImap4ServerError(AParams->Command, AParams->Tag, "NO", "you have already logged in");
  ResetConnection(AConnection);
  StartTls(AConnection);
  SendTagged(AConnection, AParams, "OK begin TLS negotiation");
}

void TqvImap4Server::CmdLogout(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  SendClosingReplies(AConnection, AParams->Command,
                     {UntaggedLine("BYE IMAP engine signing off"),
                      (AParams->Tag.empty() ? std::string("*") : AParams->Tag) + " OK LOGOUT completed"});
}
