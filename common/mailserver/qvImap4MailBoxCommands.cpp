// The mailbox commands of the IMAP4 server: LIST, LSUB, CREATE, DELETE,
// RENAME, SUBSCRIBE, UNSUBSCRIBE, SELECT, EXAMINE, STATUS and APPEND.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <set>
#include <utility>

#include "Decimal.h"
#include "qvImap4Server.h"
#include "qvImap4FetchCache.h"
#include "qvMailBoxFiles.h"
#include "qvMailServerLimits.h"
#include "qvRegex.h"
#include "qvTextUtils.h"
#include "qvMailDate.h"
#include "qvTextSplit.h"

namespace {

constexpr char kAccessDenied[] = "Access denied";
constexpr char kNoMailBox[] = "Mailbox does not exist";
constexpr char kMailBoxExists[] = "Mailbox already exists";

[[noreturn]] void Refuse(TqvImap4CommandParams* AParams, const char* AKind, const std::string& AText) {
  throw EqvImap4ServerError(AParams->Command, AParams->Tag, AKind, AText);
}
[[noreturn]] void ParseError(TqvImap4CommandParams* AParams) {
  Refuse(AParams, "BAD", AParams->Command + " parse error");
}

// The one non-empty word of a command that takes one mailbox name.
std::string OneName(TqvImap4CommandParams* AParams) {
  const std::vector<std::string> words = SplitImapArguments(AParams->Params, ismQuotes);
  if (words.size() != 1 || words[0].empty()) ParseError(AParams);
  return words[0];
}

// A decimal literal size; -1 for anything else.
int64_t LiteralSize(const std::string& AText) {
  return AText.size() > 18 ? -1 : plat::ParseDecimal<int64_t>(AText).value_or(-1);
}

}  // namespace

// --- records

void TqvImap4ServerMailBoxInfo::Clear() {
  TqvImap4MailBoxInfo::Clear();
  UnseenCount = 0;
}

void TqvImap4ServerMailBoxInfo::Assign(const TqvImap4MailBoxInfo& ASource) {
  TqvImap4MailBoxInfo::Assign(ASource);
  if (const auto* s = dynamic_cast<const TqvImap4ServerMailBoxInfo*>(&ASource)) UnseenCount = s->UnseenCount;
}

// --- helpers of the commands

std::string TqvImap4Server::MailBoxArgument(TqvImap4CommandParams* AParams, const std::string& AWord,
                                            const std::string& ARefusal) const {
  // A name that is not modified UTF-7 would make a folder whose name is not
  // UTF-8. Checked after decoding: "&AC4ALg-" is "..".
  if (!TqvImapUtf7Encoder::IsWellFormed(AWord)) Refuse(AParams, "NO", ARefusal);
  const std::string name = TqvImapUtf7Encoder::Decode(AWord);
  if (!IsSafeMailBoxName(name, FMailBoxSeparator)) Refuse(AParams, "NO", ARefusal);
  return name;
}

std::unique_ptr<TqvImap4MailBoxList> TqvImap4Server::FindMailBoxes(TqvImap4CommandConnection* AConnection,
                                                                   const std::string& AName) {
  auto list = std::make_unique<TqvImap4MailBoxList>();
  DoGetMailBoxes(AConnection, AName, *list);
  return list;
}

void TqvImap4Server::AssignUids(TqvImap4CommandConnection* AConnection, TqvImap4MailBoxItem& AItem,
                                TqvImap4MessageList& AMessages,
                                std::vector<std::pair<std::string, int64_t>>* AGiven, bool AClaim) {
  // UID 0 is not a valid UID. Another session may have given UIDs since the
  // item was read: new ones start above every UID already given.
  int64_t next = std::max<int64_t>(AItem.UIDNext, 1);
  for (int i = 0; i < AMessages.Count(); ++i) next = std::max(next, AMessages.Peek(i)->UID + 1);
  std::vector<std::pair<TqvImap4MessageItem*, int64_t>> given;
  for (int i = 0; i < AMessages.Count(); ++i) {
    if (AMessages.Peek(i)->UID >= 0) continue;
    // Only the messages that change are copied out of the store's records.
    // \Recent waits in the store for the first session told of it.
    TqvImap4MessageItem* m = AMessages.Items(i);
    m->UID = next++;
    if (!AClaim) m->Flags |= MessageFlag(mfRecent);
    given.emplace_back(m, m->UID);
  }
  if (!given.empty()) {
    bool updated = true;
    DoUpdateMessages(AConnection, AMessages, AItem.Name, updated);
    // The store may have kept another UID than the one asked for (another
    // session gave it first): the UIDs reported are those it keeps, and such
    // a message is not this session's to take.
    for (const auto& [m, uid] : given) {
      next = std::max(next, m->UID + 1);
      if (AGiven) AGiven->emplace_back(m->Name, m->UID);
      if (AClaim && m->UID == uid) AConnection->FClaimed.push_back(uid);
    }
  }
  AItem.UIDNext = next;
}

void TqvImap4Server::LoadMailBoxInfo(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                     TqvImap4MailBoxItem& AItem, TqvImap4ServerMailBoxInfo& AInfo,
                                     std::vector<std::pair<std::string, int64_t>>* AGiven, bool AClaim) {
  TqvImap4MessageList messages;
  bool success = true;
  DoGetMessages(AConnection, messages, AItem.Name, success);
  if (!success) Refuse(AParams, "NO", kAccessDenied);
  AssignUids(AConnection, AItem, messages, AGiven, AClaim);
  AInfo.Clear();
  AInfo.Name = AItem.Name;
  AInfo.Flags = AItem.Flags;
  AInfo.PermanentFlags = AItem.PermanentFlags;
  AInfo.UIDValidity = AItem.UIDValidity;
  AInfo.UIDNext = AItem.UIDNext;
  AInfo.Exists = messages.Count();
  std::vector<const TqvImap4MessageItem*> numbered;
  for (int i = 0; i < messages.Count(); ++i) {
    const TqvImap4MessageItem* m = messages.Peek(i);
    if (!(m->Flags & MessageFlag(mfSeen))) {
      ++AInfo.UnseenCount;
      if (AInfo.FirstUnseen == 0) AInfo.FirstUnseen = i + 1;
    }
    // Recent here: no session has been told of it yet.
    if (m->Flags & MessageFlag(mfRecent)) ++AInfo.Recent;
  }
  success = true;
  DoUpdateMailBox(AConnection, AItem, success);
  if (!success) Refuse(AParams, "NO", kAccessDenied);
}

// --- LIST, LSUB

void TqvImap4Server::CmdList(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const std::vector<std::string> words = SplitImapArguments(AParams->Params, ismQuotes);
  if (words.size() != 2) ParseError(AParams);
  const std::string separator(1, FMailBoxSeparator);
  const std::string quotedSeparator = QuoteImapString(separator);
  auto lines = std::make_unique<TStringList>();
  if (words[1].empty()) {
    lines->Add("* " + AParams->Command + " (" + GetImapMailBoxAttributes(MailBoxAttribute(maNoselect)) + ") " +
               quotedSeparator + " \"\"");
  } else {
    const bool subscribedOnly = AParams->Command == "LSUB";
    const std::string pattern = MailBoxPatternToRegEx(
        TqvImapUtf7Encoder::Decode(words[0]) + TqvImapUtf7Encoder::Decode(words[1]), separator);
    const std::unique_ptr<TqvImap4MailBoxList> boxes = FindMailBoxes(AConnection, "");
    const auto add = [&](const std::string& AName, TqvImap4MailBoxAttributes AAttributes) {
      lines->Add("* " + AParams->Command + " (" + GetImapMailBoxAttributes(AAttributes) + ") " + quotedSeparator +
                 " " + QuoteImapString(TqvImapUtf7Encoder::Encode(AName)));
    };
    std::set<std::string> listed;
    for (int i = 0; i < boxes->Count(); ++i)
      if (!subscribedOnly || boxes->Items(i)->Subscribed) listed.insert(boxes->Items(i)->Name);
    for (int i = 0; i < boxes->Count(); ++i) {
      const TqvImap4MailBoxItem& box = *boxes->Items(i);
      if (subscribedOnly && !box.Subscribed) continue;
      if (TqvRegEx::Match(box.Name, pattern, TqvRegEx::rfCaseless)) {
        add(box.Name, box.Attributes);
        continue;
      }
      if (!subscribedOnly) continue;
      // RFC 3501 6.3.9: where "%" stops above a subscribed mailbox, the level
      // it stops at is listed, \Noselect unless subscribed itself.
      for (size_t at = box.Name.find(FMailBoxSeparator); at != std::string::npos;
           at = box.Name.find(FMailBoxSeparator, at + 1)) {
        const std::string parent = box.Name.substr(0, at);
        if (listed.count(parent) || !TqvRegEx::Match(parent, pattern, TqvRegEx::rfCaseless)) continue;
        listed.insert(parent);
        add(parent, MailBoxAttribute(maNoselect));
      }
    }
  }
  for (const std::string& update : ViewUpdates(AConnection, AParams)) lines->Add(update);
  std::unique_ptr<TStrings> out = std::move(lines);
  SendMultipleLinesAll(AConnection, out, AParams->Tag + " OK " + AParams->Command + " completed");
}

// --- CREATE, DELETE, RENAME, SUBSCRIBE, UNSUBSCRIBE

void TqvImap4Server::CmdCreate(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  // RFC 3501 6.3.3: a trailing separator only says the client means to make
  // mailboxes below it.
  std::string word = OneName(AParams);
  while (word.size() > 1 && word.back() == FMailBoxSeparator) word.pop_back();
  const std::string name = MailBoxArgument(AParams, word, kAccessDenied);
  if (FindMailBoxes(AConnection, name)->Count() > 0) Refuse(AParams, "NO", kMailBoxExists);
  bool success = true;
  DoCreateMailBox(AConnection, name, success);
  if (!success) Refuse(AParams, "NO", kAccessDenied);
  SendTaggedWithUpdates(AConnection, AParams, "OK CREATE completed");
}

void TqvImap4Server::CmdDelete(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const std::string name = MailBoxArgument(AParams, OneName(AParams), kAccessDenied);
  if (FindMailBoxes(AConnection, name)->Count() != 1) Refuse(AParams, "NO", kAccessDenied);
  bool success = true;
  DoDeleteMailBox(AConnection, name, success);
  if (!success) Refuse(AParams, "NO", kAccessDenied);
  // Answers kept for the mailbox's messages are no longer theirs.
  FFetchCache->Clear();
  SendTaggedWithUpdates(AConnection, AParams, "OK DELETE completed");
}

void TqvImap4Server::CmdRename(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const std::vector<std::string> words = SplitImapArguments(AParams->Params, ismQuotes);
  if (words.size() != 2 || words[0].empty() || words[1].empty() || words[0] == words[1]) ParseError(AParams);
  const std::string from = MailBoxArgument(AParams, words[0], kAccessDenied);
  const std::string to = MailBoxArgument(AParams, words[1], kAccessDenied);
  if (FindMailBoxes(AConnection, from)->Count() != 1) Refuse(AParams, "NO", kNoMailBox);
  if (FindMailBoxes(AConnection, to)->Count() != 0) Refuse(AParams, "NO", kMailBoxExists);
  bool success = true;
  DoRenameMailBox(AConnection, from, to, success);
  if (!success) Refuse(AParams, "NO", kAccessDenied);
  FFetchCache->Clear();
  SendTaggedWithUpdates(AConnection, AParams, "OK RENAME completed");
}

void TqvImap4Server::CmdSubscribe(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const std::string name = MailBoxArgument(AParams, OneName(AParams), kAccessDenied);
  const std::unique_ptr<TqvImap4MailBoxList> boxes = FindMailBoxes(AConnection, name);
  if (boxes->Count() != 1) Refuse(AParams, "NO", kAccessDenied);
  TqvImap4MailBoxItem& box = *boxes->Items(0);
  box.Subscribed = AParams->Command == "SUBSCRIBE";
  bool success = true;
  DoUpdateMailBox(AConnection, box, success);
  if (!success) Refuse(AParams, "NO", kAccessDenied);
  SendTaggedWithUpdates(AConnection, AParams, "OK " + AParams->Command + " completed");
}

// --- SELECT, EXAMINE, STATUS

void TqvImap4Server::CmdSelect(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  std::string name;
  TqvImap4ServerMailBoxInfo info;
  try {
    name = MailBoxArgument(AParams, OneName(AParams), kNoMailBox);
    const std::unique_ptr<TqvImap4MailBoxList> boxes = FindMailBoxes(AConnection, name);
    if (boxes->Count() != 1) Refuse(AParams, "NO", kNoMailBox);
    // A SELECT is the first told of the messages it gives UIDs to.
    AConnection->FClaimed.clear();
    LoadMailBoxInfo(AConnection, AParams, *boxes->Items(0), info, nullptr, AParams->Command == "SELECT");
  } catch (const EqvImap4ServerError&) {
    // RFC 3501 6.3.1: a failed SELECT leaves no mailbox selected.
    if (AConnection->FState == 2) ChangeState(AConnection, 1);
    throw;
  }
  const bool examine = AParams->Command == "EXAMINE";
  ChangeState(AConnection, 2);
  AConnection->FReadOnly = examine;
  AConnection->FSelectedMailBox = name;
  // The view starts empty: every message is new to it.
  std::vector<int64_t> claimed = std::move(AConnection->FClaimed);
  AConnection->FView.Clear();
  AConnection->FClaimed = std::move(claimed);
  std::vector<std::string> told;
  SyncView(AConnection, true, false, told);
  const TqvImap4SessionView& view = AConnection->FView;
  int firstUnseen = 0;
  for (int i = 0; i < view.Count() && firstUnseen == 0; ++i)
    if (!(view.Flags(i) & MessageFlag(mfSeen))) firstUnseen = i + 1;
  auto lines = std::make_unique<TStringList>();
  lines->Add("* " + std::to_string(view.Count()) + " EXISTS");
  lines->Add("* " + std::to_string(view.RecentCount()) + " RECENT");
  if (firstUnseen > 0) lines->Add("* OK [UNSEEN " + std::to_string(firstUnseen) + "] first unseen");
  lines->Add("* OK [UIDVALIDITY " + info.UIDValidity + "] UIDs valid");
  lines->Add("* OK [UIDNEXT " + std::to_string(std::max(info.UIDNext, view.LastUid() + 1)) + "] Predicted next UID");
  lines->Add("* FLAGS (" + GetImapMessageFlags(info.Flags) + ")");
  lines->Add("* OK [PERMANENTFLAGS (" + GetImapMessageFlags(info.PermanentFlags) + ")] .");
  std::unique_ptr<TStrings> out = std::move(lines);
  SendMultipleLinesAll(AConnection, out,
                       AParams->Tag + " OK [" + (examine ? "READ-ONLY" : "READ-WRITE") + "] " + AParams->Command +
                           " completed");
}

void TqvImap4Server::CmdStatus(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const std::vector<std::string> words = SplitImapArguments(AParams->Params, ismQuotesAndParens);
  if (words.size() != 2 || words[0].empty()) ParseError(AParams);
  const std::string name = MailBoxArgument(AParams, words[0], kNoMailBox);
  const std::unique_ptr<TqvImap4MailBoxList> boxes = FindMailBoxes(AConnection, name);
  if (boxes->Count() != 1) Refuse(AParams, "NO", kNoMailBox);
  TqvImap4ServerMailBoxInfo info;
  LoadMailBoxInfo(AConnection, AParams, *boxes->Items(0), info);
  std::string items;
  for (const std::string& word : SplitImapArguments(words[1], ismQuotes)) {
    const std::string item = qvtext::UpperCase(word);
    if (item == "MESSAGES")
      items += "MESSAGES " + std::to_string(info.Exists) + " ";
    else if (item == "RECENT")
      items += "RECENT " + std::to_string(info.Recent) + " ";
    else if (item == "UIDNEXT")
      items += "UIDNEXT " + std::to_string(info.UIDNext) + " ";
    else if (item == "UIDVALIDITY")
      items += "UIDVALIDITY " + info.UIDValidity + " ";
    else if (item == "UNSEEN")
      items += "UNSEEN " + std::to_string(info.UnseenCount) + " ";
  }
  if (!items.empty()) items.pop_back();
  SendUntaggedAndTagged(AConnection, AParams,
                        UntaggedLine("STATUS " + QuoteImapString(TqvImapUtf7Encoder::Encode(name)) + " (" + items + ")"),
                        "OK STATUS completed");
}

// --- APPEND

void TqvImap4Server::CmdAppend(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const std::vector<std::string> words = SplitImapArguments(AParams->Params, ismKeepGroups);
  if (words.size() < 2 || words.front().empty() || words.back().empty()) ParseError(AParams);
  auto info = std::make_unique<TqvAppendMessageInfo>();
  info->Date = Now();
  int64_t size = 0;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word[0] == '(') {
      // \Recent is the server's to give, never the client's.
      info->Flags = ParseImapMessageFlags(qvtext::UpperCase(ExtractQuotedString(word, '(', ')'))) &
                    static_cast<TqvMailMessageFlags>(~MessageFlag(mfRecent));
    } else if (word[0] == '"') {
      const std::string text = ExtractQuotedString(word, '"');
      // The IMAP form first, then the mail form; neither keeps the current time.
      TDateTime date = 0;
      if (!TryImapDateTimeToDateTime(text, date)) {
        try {
          date = MailTimeToDateTime(text);
        } catch (const EConvertError&) {
          date = 0;
        }
      }
      if (date != 0) info->Date = date;
    } else if (word[0] == '{') {
      size = LiteralSize(ExtractQuotedString(word, '{', '}'));
    }
  }
  // The literal is bounded before the client is asked for it.
  const int64_t limit = MaxDataSize() > 0 ? std::min(MaxDataSize(), qvMaxDataBlockBytes) : qvMaxDataBlockBytes;
  if (size <= 0 || size > limit) ParseError(AParams);
  info->MailBox = MailBoxArgument(AParams, UnquoteImapString(words[0]), "[TRYCREATE] Mailbox does not exist");
  if (FindMailBoxes(AConnection, info->MailBox)->Count() != 1)
    Refuse(AParams, "NO", "[TRYCREATE] Mailbox does not exist");
  // A large literal goes to a spool in the mailbox's folder as it comes.
  std::unique_ptr<TqvMessageSpool> spool;
  if (size + 2 > SpoolThreshold() && OnCreateSpool) {
    OnCreateSpool(this, AConnection, info->MailBox, spool);
    if (!spool) Refuse(AParams, "NO", kAccessDenied);
  }
  AConnection->FAppendInfo = std::move(info);
  // The literal and the CR LF that ends the command line.
  StartReadFixedBytes(AConnection,
                      std::make_unique<TqvImap4CommandInfo>(
                          "APPEND",
                          [this](TqvImap4CommandConnection* c, TqvImap4CommandParams* p) { AppendLiteral(c, p); },
                          AParams->Tag),
                      size + 2, std::move(spool));
  SendResponse(AConnection, AParams->Command, "+ Ready for append literal");
  AcknowledgeNextPromptly(AConnection);
}

void TqvImap4Server::AppendLiteral(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  SetCommandHandler(AConnection);
  const std::unique_ptr<TqvAppendMessageInfo> info = std::move(AConnection->FAppendInfo);
  if (!info || AParams->SpoolFailed) Refuse(AParams, "NO", kAccessDenied);
  // A spooled literal lost its empty last line already.
  TStringList message;
  TBlockStringList readBack;
  const TStrings* source = &message;
  if (AParams->Spool && !OnAppendSpooledMessage) {
    AParams->Spool->ReadLines(readBack);
    source = &readBack;
  } else if (AParams->Lines) {
    message.Assign(*AParams->Lines);
    if (message.Count() > 0 && message.Strings(message.Count() - 1).empty()) message.Delete(message.Count() - 1);
  }
  // The names already there tell the appended message apart afterwards.
  TqvImap4MessageList before;
  bool listed = true;
  DoGetMessages(AConnection, before, info->MailBox, listed);
  bool success = true;
  AConnection->AppendedUid = -1;
  // The appending session is the first told of a message it appends to the
  // mailbox it has selected read-write.
  const bool mine = AConnection->FState == 2 && !AConnection->FReadOnly && info->MailBox == AConnection->SelectedMailBox();
  // Only appends read this; each sets it first.
  AConnection->AppendTakesRecent = mine;
  if (AParams->Spool && OnAppendSpooledMessage)
    OnAppendSpooledMessage(this, AConnection, info->Flags, info->Date, *AParams->Spool, info->MailBox, success);
  else
    DoAppendMessage(AConnection, info->Flags, info->Date, *source, info->MailBox, success);
  AConnection->AppendTakesRecent = false;
  // A spool no copy took goes before the reply.
  if (AParams->Spool) AParams->Spool->Discard();
  if (!success) Refuse(AParams, "NO", kAccessDenied);
  const int64_t appendedUid = std::exchange(AConnection->AppendedUid, -1);
  if (mine && appendedUid >= 0) AConnection->FClaimed.push_back(appendedUid);
  // The new message gets its UID now, so that a client that syncs by UID
  // finds it without selecting the mailbox again, and the reply names it
  // (APPENDUID, which clients that do not know it ignore). A session that has
  // the mailbox selected hears of it in the updates before the reply.
  const auto boxes = FindMailBoxes(AConnection, info->MailBox);
  if (!listed || boxes->Count() != 1) {
    SendTaggedWithUpdates(AConnection, AParams, "OK APPEND completed");
    return;
  }
  TqvImap4ServerMailBoxInfo added;
  std::vector<std::pair<std::string, int64_t>> given;
  LoadMailBoxInfo(AConnection, AParams, *boxes->Items(0), added, &given, mine);
  std::erase_if(given, [&](const auto& g) { return std::as_const(before).Find(g.first) != nullptr; });
  // The UID the store gave the message itself, else the one this listing gave.
  if (appendedUid >= 0) given.assign(1, {std::string(), appendedUid});
  // Another session's append in the same moment leaves it open which is ours.
  if (given.size() != 1) {
    SendTaggedWithUpdates(AConnection, AParams, "OK APPEND completed");
    return;
  }
  SendTaggedWithUpdates(
      AConnection, AParams,
      "OK [APPENDUID " + added.UIDValidity + " " + std::to_string(given.front().second) + "] APPEND completed");
}
