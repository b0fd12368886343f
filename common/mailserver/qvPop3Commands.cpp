// The POP3 transaction commands and the commands of any state, the
// maildrop list, and the handlers' text helpers.
#include <charconv>
#include <limits>

#include "qvPop3Replies.h"
#include "Decimal.h"
#include "Streams.h"
#include "TextTrim.h"
#include "qvPop3Server.h"

using namespace pop3reply;
using plat::Trim;
using pop3text::Words;

namespace {

// A message up to this size is read into memory in one go for RETR.
constexpr int64_t kInMemoryMessage = 1024 * 1024;

void AppendNumber(std::string& AText, int64_t ANumber) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, ANumber);
  AText.append(digits, static_cast<size_t>(end - digits));
}

// The answer of LIST or UIDL without an argument: AFirst, then "n " and
// what AAppendValue adds for every message not marked deleted; the lines
// share one block.
template <class TAppendValue>
std::unique_ptr<TStrings> MaildropLines(const TqvPop3MessageList& ABox, const std::string& AFirst,
                                        TAppendValue AAppendValue) {
  auto lines = std::make_unique<TBlockStringList>();
  lines->Add(AFirst);
  std::string line;
  for (int i = 0; i < ABox.Count(); ++i) {
    const TqvPop3MessageItem& item = *ABox.Items(i);
    if (item.Deleted) continue;
    line.clear();
    AppendNumber(line, i + 1);
    line += ' ';
    AAppendValue(line, item);
    lines->Add(line);
  }
  return lines;
}

}  // namespace

// --- text helpers

namespace pop3text {

std::vector<std::string> Words(std::string_view AText) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < AText.size()) {
    while (i < AText.size() && (AText[i] == ' ' || AText[i] == '\t')) ++i;
    const size_t start = i;
    while (i < AText.size() && AText[i] != ' ' && AText[i] != '\t') ++i;
    if (i > start) words.emplace_back(AText.substr(start, i - start));
  }
  return words;
}

int64_t ToNumber(std::string_view AText) {
  const std::string t = plat::Trim(AText);
  std::string_view digits = t;
  const bool negative = digits.starts_with('-');
  if (negative || digits.starts_with('+')) digits.remove_prefix(1);
  if (!plat::AllDecimalDigits(digits)) return 0;
  // Too many digits saturate at the largest value, of either sign.
  const int64_t value = plat::ParseDecimal<int64_t>(digits).value_or(std::numeric_limits<int64_t>::max());
  return negative ? -value : value;
}

}  // namespace pop3text

// --- maildrop

TqvPop3MessageItem* TqvPop3MessageList::Add(std::unique_ptr<TqvPop3MessageItem> AItem) {
  FItems.push_back(std::move(AItem));
  return FItems.back().get();
}

TqvPop3MessageItem* TqvPop3MessageList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError::OutOfBounds(AIndex);
  return FItems[static_cast<size_t>(AIndex)].get();
}

int TqvPop3MessageList::ActiveCount() const {
  int n = 0;
  for (const auto& item : FItems) n += item->Deleted ? 0 : 1;
  return n;
}

int64_t TqvPop3MessageList::ActiveSize() const {
  int64_t size = 0;
  for (const auto& item : FItems) size += item->Deleted ? 0 : item->Size;
  return size;
}

bool TqvPop3MessageList::IsValid(int64_t ANumber) const {
  return ANumber >= 1 && ANumber <= Count() && !FItems[static_cast<size_t>(ANumber - 1)]->Deleted;
}

void TqvPop3MessageList::UnmarkAll() {
  for (auto& item : FItems) item->Deleted = false;
}

// --- commands

int TqvPop3Server::MessageNumber(TqvPop3CommandConnection* AConnection, const std::string& AText,
                                 const std::string& ACommand) const {
  const int64_t n = pop3text::ToNumber(AText);
  if (!AConnection->MailBox().IsValid(n)) throw EqvPop3ServerError(ACommand, kNoSuchMessage);
  return static_cast<int>(n);
}

void TqvPop3Server::SendStatLine(TqvPop3CommandConnection* AConnection, const std::string& ACommand) {
  const TqvPop3MessageList& box = AConnection->MailBox();
  SendResponse(AConnection, ACommand,
               "+OK " + std::to_string(box.ActiveCount()) + " " + std::to_string(box.ActiveSize()));
}

void TqvPop3Server::CmdNoop(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  SendResponse(AConnection, AParams->Command, kOk);
}

void TqvPop3Server::CmdQuit(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  // The store deletes the marked messages on the way into UPDATE.
  if (AConnection->State() == psTransaction) SetState(AConnection, psUpdate, AParams->Command);
  const std::string reply = AConnection->RemovalFailed() ? std::string("-ERR ") + kNotRemoved
                                                         : "+OK " + ServerName() + " connection closed";
  SendClosingReplies(AConnection, AParams->Command, {reply});
}

void TqvPop3Server::CmdRset(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  AConnection->MailBox().UnmarkAll();
  DoReset(AConnection);
  SendResponse(AConnection, AParams->Command, kOk);
}

void TqvPop3Server::CmdStat(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  SendStatLine(AConnection, AParams->Command);
}

std::unique_ptr<TStrings> TqvPop3Server::Retrieve(TqvPop3CommandConnection* AConnection, int ANumber,
                                                  const std::string& ACommand) {
  // Lines as spans of one block: a large message costs little more than its bytes.
  std::unique_ptr<TStrings> lines = std::make_unique<TBlockStringList>();
  bool success = true;
  DoRetrieve(AConnection, ANumber, *lines, success);
  if (!success) throw EqvPop3ServerError(ACommand, kNoSuchMessage);
  return lines;
}

bool TqvPop3Server::SendStreamed(TqvPop3CommandConnection* AConnection, int ANumber, const std::string& ACommand,
                                 int64_t ABodyLines) {
  // The stream's bytes go out unconverted: a response charset needs the lines.
  if (!OnOpenMessage || !GetResponseCharSet(AConnection).empty()) return false;
  std::unique_ptr<TStream> stream;
  bool success = true;
  DoOpenMessage(AConnection, ANumber, stream, success);
  if (!success) throw EqvPop3ServerError(ACommand, kNoSuchMessage);
  if (!stream) return false;
  if (stream->Size() - stream->Position() <= kInMemoryMessage) {
    // A small message is read once: measured and sent from memory.
    auto memory = std::make_unique<TMemoryStream>();
    memory->LoadFromStream(*stream);
    stream = std::move(memory);
  }
  if (ABodyLines >= 0) {
    SendStreamedLines(AConnection, kOk, std::move(stream), ".", ABodyLines);
    return true;
  }
  const int64_t size = LineTextSize(*stream);
  SendStreamedLines(AConnection, "+OK " + std::to_string(size), std::move(stream), ".");
  return true;
}

void TqvPop3Server::CmdRetr(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  const int n = MessageNumber(AConnection, AParams->Params, AParams->Command);
  if (SendStreamed(AConnection, n, AParams->Command, TqvDotStuffingFilter::kAllLines)) return;
  std::unique_ptr<TStrings> lines = Retrieve(AConnection, n, AParams->Command);
  int64_t size = 0;
  for (int i = 0; i < lines->Count(); ++i) size += static_cast<int64_t>(lines->Strings(i).size()) + 2;
  lines->Insert(0, "+OK " + std::to_string(size));
  SendMultipleLinesAll(AConnection, lines, ".");
}

void TqvPop3Server::CmdTop(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  const std::vector<std::string> words = Words(Trim(AParams->Params));
  if (words.size() < 2) throw EqvPop3ServerError(AParams->Command, kInvalidCommand);
  const int n = MessageNumber(AConnection, words[0], AParams->Command);
  const int64_t extra = pop3text::ToNumber(words[1]);
  // A negative count sends no body line.
  if (SendStreamed(AConnection, n, AParams->Command, std::max<int64_t>(extra, 0))) return;
  std::unique_ptr<TStrings> lines = Retrieve(AConnection, n, AParams->Command);
  const int64_t total = lines->Count();
  int64_t header = total;  // no empty line: the whole message is header
  for (int i = 0; i < lines->Count(); ++i)
    if (lines->Strings(i).empty()) {
      header = i + 1;
      break;
    }
  // A negative count sends no body line, a huge one the whole body.
  const int64_t body = std::clamp<int64_t>(extra, 0, total - header);
  const int64_t count = header + body;
  while (lines->Count() > count) lines->Delete(lines->Count() - 1);
  lines->Insert(0, kOk);
  SendMultipleLinesAll(AConnection, lines, ".");
}

void TqvPop3Server::CmdDele(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  const int n = MessageNumber(AConnection, AParams->Params, AParams->Command);
  bool canDelete = true;
  DoDelete(AConnection, n, canDelete);
  if (!canDelete) throw EqvPop3ServerError(AParams->Command, kNoSuchMessage);
  AConnection->MailBox().MarkDeleted(n);
  SendResponse(AConnection, AParams->Command, "+OK message " + std::to_string(n) + " deleted");
}

void TqvPop3Server::CmdList(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  const TqvPop3MessageList& box = AConnection->MailBox();
  // Only a missing argument lists them all; 0, a negative or no number
  // names no message.
  if (Trim(AParams->Params).empty()) {
    std::unique_ptr<TStrings> lines = MaildropLines(
        box, "+OK " + std::to_string(box.ActiveCount()) + " " + std::to_string(box.ActiveSize()),
        [](std::string& ALine, const TqvPop3MessageItem& AItem) { AppendNumber(ALine, AItem.Size); });
    SendMultipleLinesAll(AConnection, lines, ".");
    return;
  }
  const int n = MessageNumber(AConnection, AParams->Params, AParams->Command);
  SendResponse(AConnection, AParams->Command,
               "+OK " + std::to_string(n) + " " + std::to_string(box.Items(n - 1)->Size));
}

void TqvPop3Server::CmdUidl(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  const TqvPop3MessageList& box = AConnection->MailBox();
  if (Trim(AParams->Params).empty()) {
    std::unique_ptr<TStrings> lines =
        MaildropLines(box, kOk, [](std::string& ALine, const TqvPop3MessageItem& AItem) { ALine += AItem.UID; });
    SendMultipleLinesAll(AConnection, lines, ".");
    return;
  }
  const int n = MessageNumber(AConnection, AParams->Params, AParams->Command);
  SendResponse(AConnection, AParams->Command, "+OK " + std::to_string(n) + " " + box.Items(n - 1)->UID);
}

void TqvPop3Server::CmdStls(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (UseTLS == stNone || UseTLS == stImplicit || IsConnectionSecured(AConnection))
    throw EqvPop3ServerError(AParams->Command, kInvalidCommand);
  ResetConnection(AConnection);
  BeginTlsSwitch(AConnection);
  SendResponse(AConnection, AParams->Command, kStartTls);
}

void TqvPop3Server::CmdHelp(TqvPop3CommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  std::string text;
  for (int i = 0; i < FHelpText->Count(); ++i) text += FHelpText->Strings(i) + ", ";
  text = Trim(text);
  std::string reply = kOk;
  if (!text.empty() && text.back() == ',') {
    text.pop_back();
    reply += ' ';
  }
  reply += text;
  SendResponse(AConnection, AParams->Command, reply);
}
