#include "qvTcpCommandClient.h"

#include <algorithm>

#include "qvEncoder.h"
#include "qvMailMessage.h"
#include "qvSspi.h"
#include "qvTextUtils.h"
#include "qvTranslator.h"

namespace {

// Clears the busy flag on every exit.
class TBusyScope {
 public:
  explicit TBusyScope(std::function<void(bool)> ASet) : FSet(std::move(ASet)) { FSet(true); }
  ~TBusyScope() { FSet(false); }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

 private:
  std::function<void(bool)> FSet;
};

bool Accepts(const TqvReplyCodes& ACodes, int ACode) {
  for (int c : ACodes) {
    if (c == 0) return false;
    if (c == ACode) return true;
  }
  return false;
}

bool OnlyOne(const TqvReplyCodes& ACodes) { return !ACodes.empty() && ACodes[0] == 1 && (ACodes.size() == 1 || ACodes[1] == 0); }

bool EmptyCodes(const TqvReplyCodes& ACodes) { return ACodes.empty() || ACodes[0] == 0; }

}  // namespace

std::string FormatCommand(std::string_view AFormat, std::initializer_list<TqvCommandArg> AArgs) {
  std::string out;
  auto next = AArgs.begin();
  for (size_t i = 0; i < AFormat.size(); ++i) {
    if (AFormat[i] != '%') {
      out += AFormat[i];
      continue;
    }
    const char conversion = i + 1 < AFormat.size() ? AFormat[++i] : '\0';
    if (conversion == '%') {
      out += '%';
      continue;
    }
    if (conversion != 's' && conversion != 'd') throw EConvertError("Format \"" + std::string(AFormat) + "\" invalid");
    if (next == AArgs.end()) throw EConvertError("Format \"" + std::string(AFormat) + "\": argument missing");
    if (conversion == 'd' && !next->IsNumber)
      throw EConvertError("Format \"" + std::string(AFormat) + "\": a number is needed for %d");
    out += (next++)->Text;
  }
  if (next != AArgs.end()) throw EConvertError("Format \"" + std::string(AFormat) + "\": argument left over");
  return out;
}

// --- TqvDotStuffingWriter

void TqvDotStuffingWriter::Add(const std::string& ALine) {
  const std::string prefix = FStuff && !ALine.empty() && ALine[0] == '.' ? "." : "";
  const int64_t need = static_cast<int64_t>(ALine.size()) + 3;
  if (FBatchSize < need) {
    Finish();
    FWrite(prefix + ALine + "\r\n");
    return;
  }
  if (static_cast<int64_t>(FBuffer.size()) + need > FBatchSize) Finish();
  FBuffer += prefix;
  FBuffer += ALine;
  FBuffer += "\r\n";
}

void TqvDotStuffingWriter::Finish(const std::string& ATrailer) {
  FBuffer += ATrailer;
  if (FBuffer.empty()) return;
  FWrite(FBuffer);
  FBuffer.clear();
}

namespace {

// Commands as they go out in one write, each ending in CR LF.
std::string CommandBlock(const std::vector<std::string>& ACommands) {
  std::string block;
  for (const std::string& command : ACommands) block += command + "\r\n";
  return block;
}

}  // namespace

// --- TqvTcpCommandClient

TqvTcpCommandClient::TqvTcpCommandClient(TComponent* AOwner) : TqvTcpClientTls(AOwner) {}

std::string TqvTcpCommandClient::ResponseText() const {
  std::string text;
  for (int i = 0; i < FResponse.Count(); ++i) {
    if (i > 0) text += "\r\n";
    text += FResponse.Strings(i);
  }
  return qvtext::Trim(text);
}

namespace {

// Stores AValue in AField and fires the owner's change notification, when it differs.
template <class T>
void StoreChanged(TComponent& AOwner, T& AField, const T& AValue) {
  if (AField == AValue) return;
  AField = AValue;
  AOwner.Changed();
}

}  // namespace

void TqvTcpCommandClient::SetUserName(const std::string& AValue) { StoreChanged(*this, FUserName, AValue); }
void TqvTcpCommandClient::SetPassword(const std::string& AValue) { StoreChanged(*this, FPassword, AValue); }
void TqvTcpCommandClient::SetCharSet(const std::string& AValue) { StoreChanged(*this, FCharSet, AValue); }

void TqvTcpCommandClient::SetAuthorization(const std::string& AValue) {
  if (AssignIfDifferent(FAuthorization, AValue)) Changed();
}

void TqvTcpCommandClient::OpenSession() {
  FUnread.clear();
  TqvTcpClientTls::OpenSession();
  AfterOpen();
}

void TqvTcpCommandClient::CloseSession(bool ANotify) {
  if (Active() && !Busy()) BeforeClose();
  TqvTcpClientTls::CloseSession(ANotify);
  FUnread.clear();
}

void TqvTcpCommandClient::SendCommand(const std::string& ACommand) {
  CheckConnected();
  GetConnection().InitProgress(0, 0);
  WriteConnectionString(GetConnection(), ACommand + "\r\n", GetRequestCharSet());
  if (OnSendCommand) OnSendCommand(this, ACommand);
}

void TqvTcpCommandClient::SendCommands(const std::vector<std::string>& ACommands) {
  CheckConnected();
  GetConnection().InitProgress(0, 0);
  WriteConnectionString(GetConnection(), CommandBlock(ACommands), GetRequestCharSet());
  NotifySent(ACommands);
}

void TqvTcpCommandClient::NotifySent(const std::vector<std::string>& ACommands) {
  if (OnSendCommand)
    for (const std::string& command : ACommands) OnSendCommand(this, command);
}

void TqvTcpCommandClient::SendAndWait(const std::string& ACommand, const TqvReplyCodes& ACodes) {
  SendCommand(ACommand);
  WaitResponse(ACodes);
}

void TqvTcpCommandClient::SendCommandSync(const std::string& ACommand, const TqvReplyCodes& ACodes) {
  TBusyScope busy([this](bool b) { SetBusy(b); });
  SendAndWait(ACommand, ACodes);
}

void TqvTcpCommandClient::SendCommandSyncFmt(std::string_view AFormat, std::initializer_list<TqvCommandArg> AArgs,
                                             const TqvReplyCodes& ACodes) {
  SendCommandSync(FormatCommand(AFormat, AArgs), ACodes);
}

void TqvTcpCommandClient::SendCommandSilently(const std::string& ACommand, const TqvReplyCodes& ACodes) {
  CheckConnected();
  try {
    SendCommandSync(ACommand, ACodes);
  } catch (const EqvSocketError&) {
  } catch (const EqvSSPIError&) {
  }
}

bool TqvTcpCommandClient::TakeLines(std::string& APartial) {
  size_t from = 0;
  bool final = false;
  while (!final) {
    const size_t end = APartial.find_first_of("\r\n", from);
    if (end == std::string::npos) break;
    FResponse.Add(APartial.substr(from, end - from));
    from = end + (APartial.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    final = FSplitReplies && ParseResponseCode(FResponse.Strings(FResponse.Count() - 1)) != 0;
  }
  APartial.erase(0, from);
  return final;
}

bool TqvTcpCommandClient::ReadReply(uint32_t AStart, std::string& APartial) {
  TqvTcpClientConnection& c = GetConnection();
  // The whole exchange has a deadline; each wait gets only what is left of it.
  const int64_t deadline = static_cast<int64_t>(c.TimeOut) * qvReplyDeadlineFactor;
  const int64_t used = static_cast<int64_t>(plat::GetTickCount() - AStart);
  if (c.TimeOut > 0 && used >= deadline) RaiseSocketError(qvTimeoutError);
  const int saved = c.TimeOut;
  if (c.TimeOut > 0) c.TimeOut = static_cast<int>(std::min<int64_t>(c.TimeOut, deadline - used));
  TStringStream data;
  try {
    (void)c.ReadData(&data);
  } catch (...) {
    c.TimeOut = saved;
    throw;
  }
  c.TimeOut = saved;
  std::string bytes = data.DataString();
  if (bytes.empty()) {
    // Nothing came: the wait was interrupted or the peer has gone.
    if (c.Aborted() || !c.Active()) RaiseSocketError(qvConnectionNotActive);
    return false;
  }
  if (!GetResponseCharSet().empty())
    bytes = TqvTranslator::GetString(bytes.data(), static_cast<int>(bytes.size()), GetResponseCharSet());
  std::replace(bytes.begin(), bytes.end(), '\0', ' ');
  APartial += bytes;
  // Complete lines go to the reply; an open last line waits for more.
  const bool final = TakeLines(APartial);
  int64_t total = static_cast<int64_t>(APartial.size());
  for (int i = 0; i < FResponse.Count(); ++i) total += static_cast<int64_t>(FResponse.Strings(i).size()) + 2;
  if ((!final && APartial.size() > qvMaxReplyLineBytes) || total > qvMaxReplyBytes)
    RaiseTcpClientError("Reply too long", qvReplyTooLong);
  return final;
}

void TqvTcpCommandClient::WaitResponse(const TqvReplyCodes& ACodes) {
  FResponse.Clear();
  FResponseCode = 0;
  const uint32_t start = plat::GetTickCount();
  std::string partial;
  partial.swap(FUnread);
  // What the read of an earlier reply brought along comes first.
  bool final = FSplitReplies && TakeLines(partial);
  for (;;) {
    if (!final) final = ReadReply(start, partial);
    if (FSplitReplies) {
      if (!final) continue;
      final = false;
      FUnread = std::move(partial);
      partial.clear();
    } else if (!partial.empty()) {
      // A read that ended inside a line is continued first.
      continue;
    }
    FResponseCode = 0;
    if (EmptyCodes(ACodes) && FResponse.Count() == 0) break;
    bool accepted = false;
    for (int i = 0; i < FResponse.Count() && !accepted; ++i) {
      const int code = ParseResponseCode(FResponse.Strings(i));
      if (code == 0) continue;
      FResponseCode = code;
      accepted = Accepts(ACodes, code);
    }
    if (accepted) break;
    if (!OnlyOne(ACodes) && FResponseCode != 0) RaiseTcpClientError(ResponseText(), FResponseCode);
  }
  if (OnReceiveResponse) OnReceiveResponse(this, FResponse);
}

void TqvTcpCommandClient::SendMultipleLines(const TStrings& ALines, const std::string& AEndLine,
                                            const std::vector<std::string>& AThen) {
  if (BatchSize() <= 0) RaiseSocketError(qvInvalidBatchSize);
  std::string endLine = AEndLine;
  if (!endLine.empty() && endLine.back() != '\n') endLine += "\r\n";
  TqvTcpClientConnection& c = GetConnection();
  int64_t total = static_cast<int64_t>(endLine.size());
  for (int i = 0; i < ALines.Count(); ++i) total += static_cast<int64_t>(ALines.Strings(i).size()) + 2;
  TBusyScope busy([this](bool b) { SetBusy(b); });
  const TqvProgressEvent saved = c.OnProgress;
  c.OnProgress = [this](TObject*, int64_t ADone, int64_t ATotal) {
    if (OnProgress && ADone <= ATotal) OnProgress(this, ADone, ATotal);
  };
  try {
    c.InitProgress(0, total);
    c.DoProgress();
    const std::string charSet = GetRequestCharSet();
    TqvDotStuffingWriter writer(BatchSize(), endLine == ".\r\n",
                                [&](const std::string& ABlock) { WriteConnectionString(c, ABlock, charSet); });
    for (int i = 0; i < ALines.Count(); ++i) writer.Add(ALines.Strings(i));
    // The end line and what follows it leave with the last lines: a peer
    // that reads them at once answers them at once.
    writer.Finish(endLine + CommandBlock(AThen));
  } catch (...) {
    c.OnProgress = saved;
    throw;
  }
  c.OnProgress = saved;
}

void TqvTcpCommandClient::ReadMultiLineData(int64_t ASize) {
  TqvTcpClientConnection& c = GetConnection();
  TBusyScope busy([this](bool b) { SetBusy(b); });
  const TqvProgressEvent saved = c.OnProgress;
  c.OnProgress = [this](TObject*, int64_t ADone, int64_t ATotal) {
    if (OnProgress) OnProgress(this, ADone, ATotal);
  };
  try {
    c.InitProgress(0, ASize > 0 ? ASize : 0);
    if (FResponse.Count() > 0) FResponse.Delete(0);
    if (FResponse.Count() == 0 || FResponse.Strings(FResponse.Count() - 1) != ".") {
      // Waits for the "." line; the status line read before stays removed.
      TStringList kept;
      kept.Assign(FResponse);
      WaitResponse({1});
      for (int i = kept.Count() - 1; i >= 0; --i) FResponse.Insert(0, kept.Strings(i));
    }
  } catch (...) {
    c.OnProgress = saved;
    throw;
  }
  c.OnProgress = saved;
  for (int i = 0; i < FResponse.Count(); ++i)
    if (FResponse.Strings(i).compare(0, 2, "..") == 0) FResponse.SetStrings(i, FResponse.Strings(i).substr(1));
  if (FResponse.Count() > 0) FResponse.Delete(FResponse.Count() - 1);
  if (ASize > 0 && OnProgress) OnProgress(this, ASize, ASize);
}

// --- TqvCustomMail

TqvCustomMail::~TqvCustomMail() {
  if (FMailMessage) FMailMessage->RemoveFreeNotification(this);
}

void TqvCustomMail::SetMailMessage(TqvMailMessage* AValue) {
  if (FMailMessage == AValue) return;
  if (FMailMessage) FMailMessage->RemoveFreeNotification(this);
  FMailMessage = AValue;
  if (FMailMessage) FMailMessage->FreeNotification(this);
}

void TqvCustomMail::Notification(TComponent* AComponent, TOperation Operation) {
  TqvTcpCommandClient::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FMailMessage) FMailMessage = nullptr;
}

void TqvCustomMail::SetAuthorization(const std::string& AValue) {
  if (AValue != Authorization() && !Loading && !AValue.empty()) SetUseSasl(true);
  TqvTcpCommandClient::SetAuthorization(AValue);
}

void TqvCustomMail::SetUseSasl(bool AValue) { StoreChanged(*this, FUseSasl, AValue); }
void TqvCustomMail::SetSaslOnly(bool AValue) { StoreChanged(*this, FSaslOnly, AValue); }

std::string TqvCustomMail::BuildXOAuth2String() const {
  return TqvEncoder::EncodeTextToLine("user=" + UserName() + "\x01" + "auth=" + Authorization() + "\x01\x01",
                                      cmBase64);
}
