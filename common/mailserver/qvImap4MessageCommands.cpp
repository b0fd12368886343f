// The message commands of the IMAP4 server: FETCH, STORE, COPY, SEARCH,
// EXPUNGE and CLOSE, and UID FETCH, UID STORE, UID COPY and UID SEARCH. Each
// asks the store for the selected mailbox and its messages anew; the server
// keeps only FETCH answers drawn from message bytes (TqvImap4FetchCache).
// STORE, and FETCH setting \Seen, store a command's flags in one
// OnUpdateMessages before the replies that report them.
#include <algorithm>
#include <charconv>
#include <limits>
#include <set>

#include "Decimal.h"
#include "qvImap4Server.h"
#include "qvImap4FetchCache.h"
#include "qvImapFetch.h"
#include "qvImapSearch.h"
#include "qvTextUtils.h"
#include "qvStringsUtils.h"

namespace {

constexpr char kReadOnly[] = "Mailbox is read-only";
constexpr char kNoMailBox[] = "Mailbox does not exist";
constexpr char kAccessDenied[] = "Access denied";
constexpr char kBadCharSet[] = "[BADCHARSET (US-ASCII UTF-8)] Unknown charset";

[[noreturn]] void Refuse(TqvImap4CommandParams* AParams, const char* AKind, const std::string& AText) {
  throw EqvImap4ServerError(AParams->Command, AParams->Tag, AKind, AText);
}

// "FETCH" for "UID FETCH": the parse errors and NO texts name the command.
std::string BaseCommand(const TqvImap4CommandParams* AParams) {
  const std::string& c = AParams->Command;
  return c.rfind("UID ", 0) == 0 ? c.substr(4) : c;
}
bool IsUidCommand(const TqvImap4CommandParams* AParams) { return AParams->Command.rfind("UID ", 0) == 0; }

[[noreturn]] void ParseError(TqvImap4CommandParams* AParams) {
  Refuse(AParams, "BAD", BaseCommand(AParams) + " parse error");
}

// A set token's number: "*" is AStar, anything but digits 0; saturates.
int64_t SetNumber(std::string_view AToken, int64_t AStar) {
  if (AToken == "*") return AStar;
  if (!plat::AllDecimalDigits(AToken)) return 0;
  return plat::ParseDecimal<int64_t>(AToken).value_or(std::numeric_limits<int64_t>::max());
}

std::vector<std::string_view> SplitAt(std::string_view AText, char ASeparator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = AText.find(ASeparator, start);
    parts.push_back(AText.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// FETCH items that need the message's bytes, and those that set \Seen.
bool NeedsSource(const std::string& AName) {
  return AName == "BODY" || AName == "BODY.PEEK" || AName.rfind("RFC822", 0) == 0 || AName == "ENVELOPE" ||
         AName == "BODYSTRUCTURE" || AName == kFetchBodyShapeItem;
}
bool SetsSeen(const std::string& AName) { return AName == "BODY" || AName == "RFC822" || AName == "RFC822.TEXT"; }

// What a FETCH line writes for an item, told once per command.
enum class TLineItem : uint8_t { kNothing, kSource, kUid, kFlags, kInternalDate };
std::vector<TLineItem> LineItems(const TqvImap4FetchList& AItems) {
  std::vector<TLineItem> kinds;
  kinds.reserve(static_cast<size_t>(AItems.GetCount()));
  for (int i = 0; i < AItems.GetCount(); ++i) {
    const std::string& name = AItems.GetItem(i).Name;
    kinds.push_back(NeedsSource(name)           ? TLineItem::kSource
                    : name == "UID"             ? TLineItem::kUid
                    : name == "FLAGS"           ? TLineItem::kFlags
                    : name == "INTERNALDATE"    ? TLineItem::kInternalDate
                                                : TLineItem::kNothing);
  }
  return kinds;
}

// A message another session expunged that this one has not been told of.
bool IsStandIn(const TqvImap4MessageItem& AMessage) { return AMessage.Name.empty(); }

constexpr char kExpungedSome[] = "[EXPUNGEISSUED] Some messages were already expunged";
constexpr char kExpungedGone[] = "[EXPUNGEISSUED] Some of the requested messages no longer exist";
constexpr TqvMailMessageFlags kNotRecent = static_cast<TqvMailMessageFlags>(~MessageFlag(mfRecent));

void AppendNumber(std::string& AOut, int64_t ANumber) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, ANumber).ptr;
  AOut.append(digits, end);
}

// The answer to a FETCH item that comes from the message's bytes alone
// (those NeedsSource names); "" for an item of no known name.
std::string SourceItem(const TqvImap4FetchItem& AItem, const TStrings& ASource) {
  TStringStream out;
  const std::string& name = AItem.Name;
  if (name == "BODY" || name == "BODY.PEEK")
    TqvImap4FetchBody::GetBody(ASource, "BODY[" + AItem.Section + "]", out, AItem.Section, AItem.Partial);
  else if (name == "RFC822")
    TqvImap4FetchBody::GetBody(ASource, "RFC822", out, "");
  else if (name == "RFC822.HEADER")
    TqvImap4FetchBody::GetBody(ASource, "RFC822.HEADER", out, "HEADER");
  else if (name == "RFC822.TEXT")
    TqvImap4FetchBody::GetBody(ASource, "RFC822.TEXT", out, "TEXT");
  else if (name == "RFC822.SIZE")
    out.WriteString("RFC822.SIZE " + std::to_string(GetStringsSize(ASource)));
  else if (name == "ENVELOPE")
    TqvImap4FetchEnvelope::GetEnvelope(ASource, out);
  else if (name == "BODYSTRUCTURE")
    TqvImap4FetchBodyStructure::GetBodyStructure(ASource, out);
  else if (name == kFetchBodyShapeItem)
    TqvImap4FetchBodyStructure::GetBody(ASource, out);
  return out.DataString();
}

// An item as the answer cache tells it apart (PEEK answers as BODY does).
std::string CachedItemName(const TqvImap4FetchItem& AItem) {
  return (AItem.Name == "BODY.PEEK" ? std::string("BODY") : AItem.Name) + "[" + AItem.Section + "]<" +
         AItem.Partial + ">";
}

// "* <seq> FETCH (<items>)" CRLF: the items in request order (ASourceItems
// holds the answers of the NeedsSource items by index; FLAGS are AFlags, the
// session's), after UID when AAddUid (a UID command), then FLAGS when
// AAddFlags (\Seen was set now).
void WriteFetchLine(std::string& AOut, const std::vector<TLineItem>& AItems, const TqvImap4MessageItem& AMessage,
                    TqvMailMessageFlags AFlags, const std::vector<std::shared_ptr<const std::string>>& ASourceItems,
                    bool AAddFlags, bool AAddUid) {
  AOut += "* ";
  AppendNumber(AOut, AMessage.SequenceNumber);
  AOut += " FETCH (";
  bool first = true;
  const auto separate = [&] {
    if (!first) AOut += ' ';
    first = false;
  };
  const auto flags = [&] {
    AOut += "FLAGS (";
    AOut += ImapMessageFlagsText(AFlags);
    AOut += ')';
  };
  const auto uid = [&] {
    AOut += "UID ";
    AppendNumber(AOut, AMessage.UID);
  };
  // The UID a UID command adds comes first, as other servers put it.
  if (AAddUid) {
    separate();
    uid();
  }
  for (size_t i = 0; i < AItems.size(); ++i) {
    switch (AItems[i]) {
      case TLineItem::kSource:
        if (!ASourceItems[i] || ASourceItems[i]->empty()) break;
        separate();
        AOut += *ASourceItems[i];
        break;
      case TLineItem::kUid:
        separate();
        uid();
        break;
      case TLineItem::kFlags:
        separate();
        flags();
        break;
      case TLineItem::kInternalDate:
        separate();
        AOut += "INTERNALDATE \"";
        AOut += GetImapDateTimeStr(AMessage.Date);
        AOut += '"';
        break;
      case TLineItem::kNothing: break;
    }
  }
  if (AAddFlags) {
    separate();
    flags();
  }
  AOut += ")\r\n";
}

}  // namespace

// --- sets

std::unique_ptr<TqvImap4MessageList> TqvImap4MessageList::SetView(std::string_view ASet, bool AUseUids) {
  Renumber();
  auto view = std::make_unique<TqvImap4MessageList>(false);
  // The leading messages with a UID (those of UidIndex), in UID order.
  size_t addressable = 0;
  while (addressable < FItems.size() && FItems[addressable]->UID >= 0) ++addressable;
  if (addressable == 0) return view;
  const auto count = static_cast<int64_t>(addressable);
  const auto first = FItems.begin();
  std::vector<bool> chosen(addressable, false);
  // Marks the addressable positions lo..hi (0-based, inclusive).
  const auto mark = [&](int64_t ALo, int64_t AHi) {
    for (int64_t i = std::max<int64_t>(ALo, 0); i <= std::min(AHi, count - 1); ++i) chosen[static_cast<size_t>(i)] = true;
  };
  // The first position whose UID is at least AUid.
  const auto lowerUid = [&](int64_t AUid) {
    return std::lower_bound(first, first + count, AUid,
                            [](const TqvImap4MessageItem* e, int64_t u) { return e->UID < u; }) -
           first;
  };
  for (const std::string_view part : SplitAt(ASet, ',')) {
    const std::vector<std::string_view> tokens = SplitAt(part, ':');
    const int64_t star = AUseUids ? FItems[addressable - 1]->UID : count;
    int64_t lo = SetNumber(tokens[0], star);
    int64_t hi = tokens.size() > 1 ? SetNumber(tokens[1], star) : lo;
    if (lo > hi) std::swap(lo, hi);
    if (AUseUids) {
      // UIDs ascend along the addressable messages: every one in lo..hi.
      mark(lowerUid(lo), lowerUid(hi == std::numeric_limits<int64_t>::max() ? hi : hi + 1) - 1);
    } else if (hi >= 1) {
      mark(std::max<int64_t>(lo, 1) - 1, hi - 1);
    }
  }
  view->FItems.reserve(static_cast<size_t>(std::count(chosen.begin(), chosen.end(), true)));
  for (size_t i = 0; i < chosen.size(); ++i)
    if (chosen[i]) view->AddRef(FItems[i]);
  return view;
}

// --- helpers

void TqvImap4Server::LoadSelected(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams,
                                  TqvImap4MessageList& AMessages, const std::string& ANoMailBox,
                                  const std::string& ANoMessages) {
  if (FindMailBoxes(AConnection, AConnection->FSelectedMailBox)->Count() != 1) Refuse(AParams, "NO", ANoMailBox);
  bool success = true;
  DoGetMessages(AConnection, AMessages, AConnection->FSelectedMailBox, success);
  if (!success) Refuse(AParams, "NO", ANoMessages);
}

bool TqvImap4Server::UpdateMessages(TqvImap4CommandConnection* AConnection, TqvImap4MessageList& AMessages) {
  if (AMessages.Count() == 0) return true;
  bool success = true;
  DoUpdateMessages(AConnection, AMessages, AConnection->FSelectedMailBox, success);
  AMessages.Clear();
  return success;
}

bool TqvImap4Server::FetchSourceItems(TqvImap4CommandConnection* AConnection, const TqvImap4FetchList& AItems,
                                      const TqvImap4MessageItem& AMessage,
                                      std::vector<std::shared_ptr<const std::string>>& AAnswers) {
  std::vector<std::string> keys(AAnswers.size());
  bool all = true;
  for (int i = 0; i < AItems.GetCount(); ++i) {
    const auto at = static_cast<size_t>(i);
    AAnswers[at].reset();
    if (!NeedsSource(AItems.GetItem(i).Name)) continue;
    keys[at] = TqvImap4FetchCache::Key(AMessage, CachedItemName(AItems.GetItem(i)));
    AAnswers[at] = FFetchCache->Find(keys[at]);
    all = all && AAnswers[at];
  }
  if (all) return true;
  TStringList source;
  bool success = true;
  DoGetMessageSource(AConnection, source, AMessage.Name, AConnection->FSelectedMailBox, success);
  if (!success) return false;
  for (int i = 0; i < AItems.GetCount(); ++i) {
    const auto at = static_cast<size_t>(i);
    if (!NeedsSource(AItems.GetItem(i).Name)) continue;
    AAnswers[at] = std::make_shared<const std::string>(SourceItem(AItems.GetItem(i), source));
    FFetchCache->Add(keys[at], AAnswers[at]);
  }
  return true;
}

// --- FETCH

void TqvImap4Server::CmdFetch(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  // The set, then the item list with or without its parentheses.
  const std::string params = qvtext::Trim(AParams->Params);
  const size_t blank = params.find(' ');
  if (blank == std::string::npos) ParseError(AParams);
  const std::string set = params.substr(0, blank);
  TqvImap4FetchList items;
  items.Parse(params.substr(blank + 1));
  if (items.GetCount() == 0 || !items.SectionsValid()) ParseError(AParams);

  TqvImap4MessageList stored, own;
  LoadSelected(AConnection, AParams, stored, "FETCH error", "FETCH error");
  TqvImap4MessageList& messages = SessionMessages(AConnection, stored, own);
  TqvImap4SessionView& session = AConnection->FView;
  const bool uid = IsUidCommand(AParams);
  bool needSource = false, setsSeen = false, flagsAsked = false, uidAsked = false, dateAsked = false;
  for (int i = 0; i < items.GetCount(); ++i) {
    const std::string& name = items.GetItem(i).Name;
    needSource = needSource || NeedsSource(name);
    setsSeen = setsSeen || SetsSeen(name);
    flagsAsked = flagsAsked || name == "FLAGS";
    uidAsked = uidAsked || name == "UID";
    dateAsked = dateAsked || name == "INTERNALDATE";
  }
  // A read-only selection never changes a flag.
  setsSeen = setsSeen && !AConnection->FReadOnly;

  const std::unique_ptr<TqvImap4MessageList> view = messages.SetView(set, uid);
  // The answer goes out in pieces of about kFetchPieceBytes, the tagged line with
  // the last, each once the \Seen flags it reports are stored. What was built
  // is sent before an error's reply when nothing in it waits to be stored.
  const std::vector<TLineItem> lineItems = LineItems(items);
  std::string out;
  // Room for a piece when answers come from message bytes, else for a short
  // line per message.
  out.reserve(static_cast<size_t>(needSource ? kFetchPieceBytes + 8192
                                             : std::min<int64_t>(int64_t{view->Count()} * 48, kFetchPieceBytes)));
  TqvImap4MessageList seen(false);
  std::vector<std::shared_ptr<const std::string>> answers(static_cast<size_t>(items.GetCount()));
  bool expunged = false;
  try {
    for (int m = 0; m < view->Count(); ++m) {
      const TqvImap4MessageItem* message = view->Peek(m);
      const int at = message->SequenceNumber - 1;
      if (IsStandIn(*message)) {
        // Its UID and flags are known still; nothing else is.
        if (needSource || dateAsked || setsSeen) {
          expunged = true;
          continue;
        }
      } else if (needSource && !FetchSourceItems(AConnection, items, *message, answers)) {
        // A message whose bytes cannot be had is left out.
        continue;
      }
      bool seenNow = false;
      if (setsSeen && !(message->Flags & MessageFlag(mfSeen))) {
        TqvImap4MessageItem* changed = messages.Writable(message);
        changed->Flags |= MessageFlag(mfSeen);
        message = changed;
        seen.AddRef(changed);
        seenNow = true;
      }
      const TqvMailMessageFlags flags = session.SessionFlags(at, message->Flags);
      if (flagsAsked || seenNow) session.Reported(at, flags);
      WriteFetchLine(out, lineItems, *message, flags, answers, seenNow && !flagsAsked, uid && !uidAsked);
      if (static_cast<int64_t>(out.size()) >= kFetchPieceBytes) {
        (void)UpdateMessages(AConnection, seen);
        SendRawBytes(AConnection, out);
        out.clear();
      }
    }
    (void)UpdateMessages(AConnection, seen);
  } catch (...) {
    if (!out.empty() && seen.Count() == 0) SendRawBytes(AConnection, out);
    throw;
  }
  SendTaggedWithUpdates(AConnection, AParams, expunged ? std::string("OK ") + kExpungedSome : "OK FETCH completed",
                        out);
}

// --- STORE

void TqvImap4Server::CmdStore(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  if (AConnection->FReadOnly) Refuse(AParams, "NO", kReadOnly);
  // "()" is an empty word: it clears the flags. Flags without parentheses
  // may come as several words.
  const std::vector<std::string> words = SplitImapArguments(AParams->Params, ismQuotesAndParens);
  if (words.size() < 3 || words[0].empty() || words[1].empty()) ParseError(AParams);
  std::string flagText;
  for (size_t i = 2; i < words.size(); ++i) flagText += words[i] + " ";
  const TqvMailMessageFlags flags = ParseImapMessageFlags(qvtext::UpperCase(flagText));
  const char mode = words[1][0];
  const bool silent = qvtext::UpperCase(words[1]).find(".SILENT") != std::string::npos;

  TqvImap4MessageList stored, own;
  LoadSelected(AConnection, AParams, stored, "STORE error", "STORE error");
  TqvImap4MessageList& messages = SessionMessages(AConnection, stored, own);
  TqvImap4SessionView& session = AConnection->FView;
  const bool uid = IsUidCommand(AParams);
  const std::unique_ptr<TqvImap4MessageList> view = messages.SetView(words[0], uid);
  // \Recent is the server's: a client neither sets nor clears it.
  const TqvMailMessageFlags given = flags & kNotRecent;
  const auto apply = [&](TqvMailMessageFlags AOld) -> TqvMailMessageFlags {
    if (mode == '+') return AOld | given;
    if (mode == '-') return AOld & static_cast<TqvMailMessageFlags>(~given);
    return given;
  };
  TqvImap4MessageList changed(false);
  // What each message of the set shows afterwards, in set order.
  std::vector<std::pair<const TqvImap4MessageItem*, TqvMailMessageFlags>> results;
  results.reserve(static_cast<size_t>(view->Count()));
  for (int m = 0; m < view->Count(); ++m) {
    const TqvImap4MessageItem* message = view->Peek(m);
    const int at = message->SequenceNumber - 1;
    if (IsStandIn(*message)) {
      // Gone from the store: nothing is stored, no other message changes.
      results.emplace_back(message, session.SessionFlags(at, apply(session.Flags(at) & kNotRecent)));
      continue;
    }
    TqvImap4MessageItem* own = messages.Writable(message);
    own->Flags = static_cast<TqvMailMessageFlags>(apply(own->Flags & kNotRecent) | (own->Flags & MessageFlag(mfRecent)));
    changed.AddRef(own);
    results.emplace_back(own, session.SessionFlags(at, own->Flags));
  }
  auto lines = std::make_unique<TStringList>();
  // One store write for the whole set, before any reply.
  if (UpdateMessages(AConnection, changed)) {
    for (const auto& [message, shown] : results) {
      session.Reported(message->SequenceNumber - 1, shown);
      if (silent) continue;
      // A UID command's FETCH lines carry the UID (RFC 3501 7.4.2).
      lines->Add("* " + std::to_string(message->SequenceNumber) + " FETCH (" +
                 (uid ? "UID " + std::to_string(message->UID) + " " : std::string()) + "FLAGS (" +
                 ImapMessageFlagsText(shown) + "))");
    }
  }
  for (const std::string& update : ViewUpdates(AConnection, AParams)) lines->Add(update);
  std::unique_ptr<TStrings> out = std::move(lines);
  SendMultipleLinesAll(AConnection, out, AParams->Tag + " OK STORE completed");
}

// --- COPY

void TqvImap4Server::CmdCopy(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const std::vector<std::string> words = SplitImapArguments(AParams->Params, ismQuotes);
  if (words.size() != 2 || words[0].empty() || words[1].empty()) ParseError(AParams);
  if (FindMailBoxes(AConnection, AConnection->FSelectedMailBox)->Count() != 1) Refuse(AParams, "NO", kNoMailBox);
  const std::string target = MailBoxArgument(AParams, words[1], "[TRYCREATE] Mailbox does not exist");
  if (FindMailBoxes(AConnection, target)->Count() != 1) Refuse(AParams, "NO", "[TRYCREATE] Mailbox does not exist");
  TqvImap4MessageList stored, own;
  bool success = true;
  DoGetMessages(AConnection, stored, AConnection->FSelectedMailBox, success);
  if (!success) Refuse(AParams, "NO", "COPY error");
  TqvImap4MessageList& messages = SessionMessages(AConnection, stored, own);
  const std::unique_ptr<TqvImap4MessageList> view = messages.SetView(words[0], IsUidCommand(AParams));
  // A set naming a message another session expunged copies nothing.
  bool gone = false;
  for (int m = 0; m < view->Count() && !gone; ++m) gone = IsStandIn(*view->Peek(m));
  TStringList source;
  for (int m = 0; m < view->Count() && !gone; ++m) {
    const TqvImap4MessageItem* message = view->Peek(m);
    source.Clear();
    success = true;
    DoGetMessageSource(AConnection, source, message->Name, AConnection->FSelectedMailBox, success);
    if (!success) {
      // Expunged meanwhile: the others are copied, and the reply says so.
      gone = true;
      continue;
    }
    success = true;
    // The copy is new in the target: its \Recent comes from there.
    DoAppendMessage(AConnection, message->Flags & kNotRecent, message->Date, source, target, success);
    if (!success) Refuse(AParams, "NO", "COPY error");
  }
  SendTaggedWithUpdates(AConnection, AParams, gone ? std::string("NO ") + kExpungedGone : "OK COPY completed");
}

// --- SEARCH

void TqvImap4Server::CmdSearch(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  TqvImap4MessageList stored, own;
  LoadSelected(AConnection, AParams, stored, "SEARCH error", "SEARCH error");
  TqvImap4MessageList& messages = SessionMessages(AConnection, stored, own);
  // RECENT, NEW and OLD ask for this session's \Recent.
  for (int i = 0; i < messages.Count(); ++i) {
    const TqvMailMessageFlags flags = AConnection->FView.SessionFlags(i, messages.Peek(i)->Flags);
    if (flags != messages.Peek(i)->Flags) messages.Items(i)->Flags = flags;
  }
  messages.Renumber();
  TqvImapSearchProgram criteria;
  // Keys this server cannot answer are refused rather than matching nothing.
  switch (criteria.Parse(AParams->Params, messages)) {
    case TqvImapSearchResult::kOk: break;
    case TqvImapSearchResult::kBadCharSet: Refuse(AParams, "NO", kBadCharSet);
    case TqvImapSearchResult::kBad: ParseError(AParams);
  }
  const bool needsHeader = criteria.NeedsHeader();
  const bool needSource = needsHeader || static_cast<bool>(OnSearchMessage);
  const bool uid = IsUidCommand(AParams);
  std::string numbers;
  TStringList source;
  for (int i = 0; i < messages.Count(); ++i) {
    const TqvImap4MessageItem* message = messages.Peek(i);
    if (message->UID < 0) continue;
    source.Clear();
    if (needSource) {
      bool success = true;
      DoGetMessageSource(AConnection, source, message->Name, AConnection->FSelectedMailBox, success);
      if (!success) continue;
    }
    bool matches = false, handled = false;
    // A search handler gets the session's own copy of the record; the
    // built-in test only reads it.
    if (OnSearchMessage) {
      TqvImap4MessageItem* own = messages.Items(i);
      message = own;
      DoSearchMessage(AConnection, *own, source, matches, handled);
    }
    if (!handled) matches = criteria.Matches(*message, needsHeader ? &source : nullptr);
    if (matches) {
      numbers += ' ';
      AppendNumber(numbers, uid ? message->UID : i + 1);
    }
  }
  // With no match the line keeps its blank: "* SEARCH ".
  SendUntaggedAndTagged(AConnection, AParams, UntaggedLine("SEARCH " + qvtext::Trim(numbers)), "OK SEARCH completed");
}

// --- EXPUNGE, CLOSE

void TqvImap4Server::CmdExpunge(TqvImap4CommandConnection* AConnection, TqvImap4CommandParams* AParams) {
  const bool close = AParams->Command == "CLOSE";
  // CLOSE after EXAMINE only deselects.
  if (AConnection->FReadOnly && !close) Refuse(AParams, "NO", kReadOnly);
  if (!AConnection->FReadOnly && FindMailBoxes(AConnection, AConnection->FSelectedMailBox)->Count() == 1) {
    TqvImap4MessageList messages;
    bool success = true;
    DoGetMessages(AConnection, messages, AConnection->FSelectedMailBox, success);
    if (!success) Refuse(AParams, "NO", kAccessDenied);
    // Every message of the mailbox marked \Deleted goes; the session hears of
    // those it knows through its view, as of any other session's.
    const std::unique_ptr<TqvImap4MessageList> deleted = messages.FlagView(mfDeleted);
    for (int i = 0; i < deleted->Count(); ++i) {
      TqvImap4MessageItem* message = messages.Writable(deleted->Peek(i));
      success = true;
      DoDeleteMessage(AConnection, *message, AConnection->FSelectedMailBox, success);
    }
  }
  // A vanished mailbox is deselected by CLOSE all the same.
  if (close) {
    ChangeState(AConnection, 1);
    SendTagged(AConnection, AParams, "OK CLOSE completed");
    return;
  }
  SendTaggedWithUpdates(AConnection, AParams, "OK " + AParams->Command + " completed");
}
