#include "qvSmtp.h"

#include "CodeTable.h"
#include "Decimal.h"
#include "qvCryptHash.h"
#include "qvEmailAddress.h"
#include "qvEncoder.h"
#include "qvHostResolver.h"
#include "qvMailHeader.h"
#include "qvMailMessage.h"
#include "qvMailUtils.h"
#include "qvSspiAuth.h"
#include "qvTextUtils.h"

namespace {

constexpr plat::TCodeText<> kSmtpErrors[] = {
    {qvSmtpDataEmpty, "The data list is empty"},
    {qvSmtpRecipientsEmpty, "The recipient list is empty"},
    {qvSmtpRecipientsFailed, "There are recipients that failed to receive the message"},
    {qvSmtpSaslUnavailable, "Unable to logon to the server using Secure Password Authentication"},
};

std::string SmtpErrorText(int ACode) {
  return plat::CodeText(kSmtpErrors, ACode);
}

std::string B64(const std::string& AText) { return TqvEncoder::EncodeTextToLine(AText, cmBase64); }

// The e-mail part of a full address, in IDN form.
std::string WireAddress(const std::string& AAddress) {
  std::string name, email;
  if (!GetEmailAddressParts(AAddress, name, email)) email = qvtext::Trim(AAddress);
  return EmailAddressToIdn(email);
}

// Words split at blanks, empty ones dropped.
std::vector<std::string> Words(const std::string& AText) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < AText.size()) {
    while (i < AText.size() && AText[i] == ' ') ++i;
    const size_t start = i;
    while (i < AText.size() && AText[i] != ' ') ++i;
    if (i > start) words.push_back(AText.substr(start, i - start));
  }
  return words;
}

// A header field ("Name: value", the name printable ASCII without blanks),
// or the fold of one when AFoldAllowed.
bool IsHeaderLine(const std::string& ALine, bool AFoldAllowed) {
  if (ALine.empty()) return false;
  if (ALine[0] == ' ' || ALine[0] == '\t') return AFoldAllowed;
  const size_t colon = ALine.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i)
    if (ALine[i] <= ' ' || ALine[i] > '~') return false;
  return true;
}

// Gives the connection a step's wait for as long as the step runs.
class TTimeOutScope {
 public:
  TTimeOutScope(TqvTcpClientConnection& AConnection, int ATimeOut)
      : FConnection(AConnection), FSaved(AConnection.TimeOut) {
    if (ATimeOut > 0) FConnection.TimeOut = ATimeOut;
  }
  ~TTimeOutScope() { FConnection.TimeOut = FSaved; }
  TTimeOutScope(const TTimeOutScope&) = delete;
  TTimeOutScope& operator=(const TTimeOutScope&) = delete;

 private:
  TqvTcpClientConnection& FConnection;
  int FSaved;
};

}  // namespace

EqvSmtpError::EqvSmtpError(int ACode) : EqvTcpClientError(SmtpErrorText(ACode), ACode) {}

// --- TqvCustomSmtp

TqvCustomSmtp::TqvCustomSmtp(TComponent* AOwner) : TqvCustomMail(AOwner) {}

int TqvCustomSmtp::ParseResponseCode(const std::string& ALine) {
  if (ALine.find('-') == 3) return 0;
  return plat::ParseDecimal<int>(std::string_view(ALine).substr(0, 3)).value_or(0);
}

std::string TqvCustomSmtp::EhloName() {
  if (!qvtext::Trim(HostName()).empty()) return HostName();
  const std::string fqdn = GetLocalFullyQualifiedName();
  if (!fqdn.empty()) return fqdn;
  // No such name: the address literal of our end, which receivers that
  // insist on a qualified name accept.
  const std::string local = Active() ? GetConnection().LocalIP : std::string();
  if (!local.empty()) return local.find(':') != std::string::npos ? "[IPv6:" + local + "]" : "[" + local + "]";
  return GetLocalHostName();
}

void TqvCustomSmtp::SetUseEHLO(bool AValue) {
  if (AssignIfDifferent(FUseEHLO, AValue)) Changed();
}

void TqvCustomSmtp::SetSkipFailedRecipients(bool AValue) {
  if (AssignIfDifferent(FSkipFailedRecipients, AValue)) Changed();
}

void TqvCustomSmtp::SetMailAgent(const std::string& AValue) {
  if (AssignIfDifferent(FMailAgent, AValue)) Changed();
}

void TqvCustomSmtp::SetHostName(const std::string& AValue) {
  if (AssignIfDifferent(FHostName, AValue)) Changed();
}

void TqvCustomSmtp::SetTimeOuts(const TqvSmtpTimeOuts& AValue) {
  if (AssignIfDifferent(FTimeOuts, AValue)) Changed();
}

std::string TqvCustomSmtp::GenerateMessageId() {
  if (!qvtext::Trim(HostName()).empty()) return ::GenerateMessageId(HostName());
  const std::string fqdn = GetLocalFullyQualifiedName();
  return ::GenerateMessageId(fqdn.empty() ? GetLocalHostName() : fqdn);
}

void TqvCustomSmtp::Hello(const std::string& AVerb, const TqvReplyCodes& ACodes) {
  Extensions.Clear();
  AuthMethods.Clear();
  FailedRecipients.Clear();
  MessageSizeLimit = 0;
  SendCommandSyncFmt(AVerb + " %s", {EhloName()}, ACodes);
  TStrings& reply = Response();
  if (AVerb == "EHLO") {
    // Extensions follow the first line of the reply proper.
    int first = -1;
    for (int i = 0; i < reply.Count() && first < 0; ++i) {
      const std::string line = reply.Strings(i);
      if (line.size() > 3 && (line[3] == '-' || line[3] == ' ')) first = i;
    }
    for (int i = first + 1; first >= 0 && i < reply.Count(); ++i) {
      const std::string line = reply.Strings(i);
      const std::string ext = line.size() > 4 ? line.substr(4) : std::string();
      Extensions.Add(ext);
      const std::vector<std::string> words = Words(ext);
      if (words.empty() || !qvtext::SameText(words[0], "AUTH")) continue;
      for (size_t w = 1; w < words.size(); ++w)
        if (AuthMethods.IndexOf(words[w]) < 0) AuthMethods.Add(words[w]);
    }
  }
  if (reply.Count() > 0) {
    const std::vector<std::string> words =
        Words(qvtext::UpperCase(qvtext::Trim(reply.Strings(reply.Count() - 1))));
    if (words.size() > 2 && words[1] == "SIZE") {
      // The number the word starts with, a sign allowed; 0 for none or one past 64 bits.
      const std::string_view w = words[2];
      const size_t sign = w.starts_with('+') || w.starts_with('-') ? 1 : 0;
      const size_t digits = plat::DecimalPrefix(w.substr(sign)).size();
      MessageSizeLimit =
          plat::ParseDecimal<int64_t>(w.substr(0, sign + digits), plat::TDecimalSign::PlusOrMinus).value_or(0);
    }
  }
}

void TqvCustomSmtp::OpenSmtpSession() {
  {
    TTimeOutScope wait(GetConnection(), FTimeOuts.Greeting);
    WaitResponse({220});
  }
  TTimeOutScope wait(GetConnection(), FTimeOuts.Hello);
  const std::string verb = UseEHLO() ? "EHLO" : "HELO";
  Hello(verb, {250, 530});
  if (StartTlsIfExplicit()) Hello(verb, {250});
  if (UseEHLO()) Login();
}

void TqvCustomSmtp::StartTls() {
  SendCommandSync("STARTTLS", {220});
  TqvCustomMail::StartTls();
}

bool TqvCustomSmtp::Offered(const std::string& AMechanism) const {
  for (int i = 0; i < AuthMethods.Count(); ++i)
    if (qvtext::SameText(AuthMethods.Strings(i), AMechanism)) return true;
  return false;
}

void TqvCustomSmtp::Login() {
  if (UserName().empty() && Password().empty() && Authorization().empty()) return;
  bool hasAuth = false;
  for (int i = 0; i < Extensions.Count() && !hasAuth; ++i)
    hasAuth = qvtext::FindText(Extensions.Strings(i), "AUTH") != std::string::npos;
  if (!hasAuth) {
    if (UseSasl() && SaslOnly()) throw EqvSmtpError(qvSmtpSaslUnavailable);
    return;
  }
  if (!UseSasl()) return AuthLogin();
  if (!Authorization().empty() && (Offered("XOAUTH2") || Offered("OAUTHBEARER"))) return AuthXOAuth2();
  if (Offered("NTLM")) return AuthNtlm();
  if (Offered("CRAM-MD5")) return AuthCramMd5();
  if (SaslOnly()) throw EqvSmtpError(qvSmtpSaslUnavailable);
  AuthLogin();
}

void TqvCustomSmtp::AuthLogin() {
  SendCommandSyncFmt("AUTH %s", {"LOGIN"}, {334});
  SendCommandSync(B64(UserName()), {334});
  SendCommandSync(B64(Password()), {235});
}

void TqvCustomSmtp::AuthCramMd5() {
  SendCommandSyncFmt("AUTH %s", {"CRAM-MD5"}, {334});
  const std::string text = ResponseText();
  const std::string challenge = TqvEncoder::DecodeText(text.size() > 4 ? text.substr(4) : "", cmBase64);
  SendCommandSync(B64(UserName() + " " + HMAC_MD5(challenge, Password())), {235});
}

void TqvCustomSmtp::AuthNtlm() {
  TqvNtAuthClientSspi context;
  // No current logon to fall back on here: the credentials given, if any.
  std::unique_ptr<TqvAuthIdentity> identity;
  if (!UserName().empty()) identity = std::make_unique<TqvAuthIdentity>(UserName(), Password());
  SendCommandSync("AUTH NTLM", {334});
  TMemoryStream token;
  bool done = context.GenerateToken("NTLM", token, identity.get(), Server());
  for (;;) {
    const std::string out(token.Memory(), static_cast<size_t>(token.Size()));
    if (done) {
      if (!out.empty()) SendCommandSync(B64(out), {235});
      return;
    }
    SendCommandSync(B64(out), {334});
    const std::string text = ResponseText();
    const TBytes in = TqvEncoder::DecodeTextToBytes(text.size() > 4 ? text.substr(4) : "", cmBase64);
    token.Clear();
    token.WriteBuffer(in.data(), static_cast<int64_t>(in.size()));
    token.SetPosition(0);
    done = context.GenerateToken("NTLM", token, identity.get(), Server());
  }
}

void TqvCustomSmtp::AuthXOAuth2() {
  SendCommandSyncFmt("AUTH %s %s", {"XOAUTH2", BuildXOAuth2String()}, {235, 334});
  if (ResponseCode() == 235) return;
  // An error challenge: an empty line, and the final reply is the error.
  SendCommandSync("", {235});
  RaiseTcpClientError(ResponseText(), ResponseCode());
}

void TqvCustomSmtp::SendMailFrom(const std::string& AMailFrom) {
  TTimeOutScope wait(GetConnection(), FTimeOuts.MailFrom);
  SendCommandSyncFmt("MAIL FROM: <%s>", {WireAddress(AMailFrom)}, {250});
}

void TqvCustomSmtp::SendRecipients(const TStrings& ARecipients) {
  FailedRecipients.Clear();
  if (ARecipients.Count() == 0) throw EqvSmtpError(qvSmtpRecipientsEmpty);
  int accepted = 0;
  TTimeOutScope wait(GetConnection(), FTimeOuts.Rcpt);
  for (int i = 0; i < ARecipients.Count(); ++i) {
    const std::string rcpt = ARecipients.Strings(i);
    try {
      SendCommandSync("RCPT TO: <" + WireAddress(rcpt) + ">", {250, 251});
      ++accepted;
    } catch (const EqvTcpClientError& e) {
      if (!SkipFailedRecipients() || dynamic_cast<const EqvSmtpError*>(&e)) throw;
      FailedRecipients.Add(std::make_unique<TqvFailedRecipient>(rcpt, e.Message(), e.ErrorCode));
    }
  }
  if (accepted == 0) throw EqvSmtpError(qvSmtpRecipientsFailed);
}

void TqvCustomSmtp::SendData(const TStrings& ALines) {
  if (ALines.Count() == 0) throw EqvSmtpError(qvSmtpDataEmpty);
  {
    TTimeOutScope wait(GetConnection(), FTimeOuts.DataStart);
    SendCommandSync("DATA", {354});
  }
  SendDataBody(ALines);
}

bool TqvCustomSmtp::PipeliningOffered() const {
  for (int i = 0; i < Extensions.Count(); ++i) {
    const std::vector<std::string> words = Words(Extensions.Strings(i));
    if (words.size() == 1 && qvtext::SameText(words[0], "PIPELINING")) return true;
  }
  return false;
}

std::vector<std::string> TqvCustomSmtp::EnvelopeCommands(const std::string& AMailFrom, const TStrings& ARecipients,
                                                         bool AResetFirst) const {
  std::vector<std::string> commands;
  if (AResetFirst) commands.push_back("RSET");
  commands.push_back(FormatCommand("MAIL FROM: <%s>", {WireAddress(AMailFrom)}));
  for (int i = 0; i < ARecipients.Count(); ++i) commands.push_back("RCPT TO: <" + WireAddress(ARecipients.Strings(i)) + ">");
  commands.push_back("DATA");
  return commands;
}

bool TqvCustomSmtp::SendEnvelope(const std::string& AMailFrom, const TStrings& ARecipients,
                                 std::vector<TqvFailedRecipient>& AReplies, bool AResetFirst, bool AAlreadySent) {
  if (ARecipients.Count() == 0) throw EqvSmtpError(qvSmtpRecipientsEmpty);
  const std::vector<std::string> commands = EnvelopeCommands(AMailFrom, ARecipients, AResetFirst);
  SetBusy(true);
  SetSplitReplies(true);
  // Each reply is read whatever the one before said: the session stays in step.
  auto reply = [this](int ATimeOut, const TqvReplyCodes& ACodes) -> std::pair<int, std::string> {
    TTimeOutScope wait(GetConnection(), ATimeOut);
    try {
      WaitResponse(ACodes);
      return {ResponseCode(), ResponseText()};
    } catch (const EqvTcpClientError& e) {
      // A reply error carries the server's code; a socket error has none.
      if (ResponseCode() == 0) throw;
      return {e.ErrorCode, e.Message()};
    }
  };
  try {
    if (AAlreadySent)
      NotifySent(commands);
    else
      SendCommands(commands);
    if (AResetFirst) {
      const auto reset = reply(FTimeOuts.Hello, {250});
      if (reset.first != 250) RaiseTcpClientError(reset.second, reset.first);
    }
    const auto mail = reply(FTimeOuts.MailFrom, {250});
    bool accepted = false;
    for (int i = 0; i < ARecipients.Count(); ++i) {
      const auto [code, text] = reply(FTimeOuts.Rcpt, {250, 251});
      AReplies.emplace_back(ARecipients.Strings(i), text, code);
      accepted = accepted || RecipientAccepted(code);
    }
    const auto data = reply(FTimeOuts.DataStart, {354});
    if (data.first == 354 && (!accepted || mail.first != 250)) {
      // Nothing may be delivered: an empty message, whatever its answer.
      SendCommand(".");
      (void)reply(FTimeOuts.DataEnd, {250});
      accepted = false;
    }
    SetSplitReplies(false);
    SetBusy(false);
    if (mail.first != 250) RaiseTcpClientError(mail.second, mail.first);
    if (accepted && data.first != 354) RaiseTcpClientError(data.second, data.first);
    return accepted;
  } catch (...) {
    SetSplitReplies(false);
    SetBusy(false);
    throw;
  }
}

void TqvCustomSmtp::SendDataBody(const TStrings& ALines, const std::vector<std::string>* AThen) {
  if (ALines.Count() == 0) throw EqvSmtpError(qvSmtpDataEmpty);
  {
    TTimeOutScope wait(GetConnection(), FTimeOuts.DataBlock);
    SendMultipleLines(ALines, ".", AThen ? *AThen : std::vector<std::string>{});
  }
  TqvReplyCodes codes{250, 354};
  TTimeOutScope wait(GetConnection(), FTimeOuts.DataEnd);
  SetBusy(true);
  SetSplitReplies(AThen != nullptr);
  try {
    WaitResponse(codes);
  } catch (...) {
    SetSplitReplies(false);
    SetBusy(false);
    throw;
  }
  SetSplitReplies(false);
  SetBusy(false);
}

void TqvCustomSmtp::Quit() { SendCommandSilently("QUIT", {221}); }
void TqvCustomSmtp::Reset() { SendCommandSync("RSET", {250}); }
void TqvCustomSmtp::Noop() { SendCommandSync("NOOP", {250}); }

void TqvCustomSmtp::PrepareMessage(TStrings& ALines) {
  TqvMailHeaderFieldList header("iso-8859-1", 76, cmNone);
  // With no empty line after it, the header ends at the first line that is
  // neither a field nor a fold; an empty line marks that place while the
  // fields go in, so that they never land after the body.
  bool marked = false;
  if (header.Parse(0, &ALines) == ALines.Count()) {
    for (int i = 0; i < ALines.Count() && !marked; ++i) {
      if (!IsHeaderLine(ALines.Strings(i), i > 0)) {
        ALines.Insert(i, "");
        marked = true;
      }
    }
    if (marked) (void)header.Parse(0, &ALines);
  }
  if (!MailAgent().empty() && header.GetFieldIndex("X-Mailer") < 0) header.AddField("X-Mailer", MailAgent());
  if (header.GetFieldIndex("Message-ID") < 0) {
    const std::string id = GenerateMessageId();
    if (!id.empty()) header.AddField("Message-ID", id);
  }
  // Every Bcc field, not only the first: blind copies stay blind.
  for (int i = header.GetFieldIndex("bcc"); i >= 0; i = header.GetFieldIndex("bcc")) header.RemoveField(i);
  if (marked) ALines.Delete(header.Parse(0, &ALines));
}

void TqvCustomSmtp::Send(const std::string& AMailFrom, TStrings& ALines, const TStrings& ARecipients) {
  PrepareMessage(ALines);
  SendMailFrom(AMailFrom);
  SendRecipients(ARecipients);
  SendData(ALines);
  if (FailedRecipients.Count() > 0) throw EqvSmtpError(qvSmtpRecipientsFailed);
}

// --- TqvSmtp

TqvSmtp::TqvSmtp(TComponent* AOwner) : TqvCustomSmtp(AOwner) {
  MailToList.OnChange = [this](TObject*) { Changed(); };
  MailData.OnChange = [this](TObject*) { Changed(); };
}

void TqvSmtp::SetMailFrom(const std::string& AValue) {
  if (AssignIfDifferent(FMailFrom, AValue)) Changed();
}

TqvSmtp::~TqvSmtp() {
  try {
    Close();
  } catch (...) {
  }
}

void TqvSmtp::Send() { Send(MailMessage()); }

void TqvSmtp::Send(TqvMailMessage* AMessage) {
  TStringList recipients;
  recipients.Assign(MailToList);
  if (MailData.Count() > 0 || !AMessage) return Send(MailFrom(), MailData, recipients);
  std::string from = MailFrom();
  if (from.empty()) from = AMessage->From().GetFullAddress();
  if (recipients.Count() == 0) {
    AMessage->ToList().GetAsStrings(recipients, false);
    AMessage->CCList().GetAsStrings(recipients, false);
    AMessage->BCCList().GetAsStrings(recipients, false);
  }
  AMessage->SetMessageID(GenerateMessageId());
  // The built lines are a copy: the header changes of the send stay out of
  // the message.
  TStringList lines;
  lines.Assign(AMessage->MessageSource());
  Send(from, lines, recipients);
}
