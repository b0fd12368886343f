// AUTH of the SMTP server: LOGIN, CRAM-MD5 and NTLM over continuation lines.
#include <optional>

#include "qvEncoder.h"
#include "qvSmtpServer.h"
#include "qvTextUtils.h"
#include "qvTextSplit.h"

namespace {

constexpr int kAuthAborted = 501;
constexpr int kAuthFailed = 535;
constexpr int kAuthUnknownMechanism = 504;
constexpr const char* kUsernamePrompt = "VXNlcm5hbWU6";  // "Username:"
constexpr const char* kPasswordPrompt = "UGFzc3dvcmQ6";  // "Password:"

}  // namespace

void TqvSmtpServer::CmdAuth(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (AConnection->Authenticated || !AConnection->EhloUsed || !FUseAuth)
    throw EqvSmtpServerError(AParams->Command, 503, "Bad sequence of commands");
  TStringList words;
  SplitText(AParams->Params, words);
  const std::optional<TqvServerSaslFlag> chosen =
      OfferedSaslMechanism(words.Count() > 0 ? words.Strings(0) : std::string(), FSaslFlags);
  if (!chosen) throw EqvSmtpServerError(AParams->Command, kAuthUnknownMechanism, "Unrecognized authentication type");

  const TqvServerSaslFlag m = *chosen;
  StartReadLine(AConnection, std::make_unique<TqvTcpCommandFunc>(
                                 "AUTH", [this, m](TqvCommandConnection* c, TqvTcpCommandParams* p) {
                                   RunAuthStep(dynamic_cast<TqvSmtpCommandConnection*>(c), m, p->Params);
                                 }));
  const bool initial = words.Count() > 1;
  TqvSaslServerExchange::TStartInfo start;
  start.Challenge = [this] { return GenerateChallenge(); };
  start.HostName = GetHostName();
  // The exchange proves the password of an account of ours, never anyone else.
  start.Passwords = [this, AConnection](const std::string& AUser, std::string& APassword) {
    const TqvMailUserAccountWrapper account = LookupAccount(AConnection, AUser, "");
    if (!account.Item()) return false;
    APassword = account.Item()->Password();
    return true;
  };
  AConnection->Sasl = TqvSaslServerExchange::Start(m, start);
  switch (m) {
    case ssUseLogin:
      if (initial) return RunAuthStep(AConnection, m, words.Strings(1));
      SendReply(AConnection, AParams->Command, 334, kUsernamePrompt);
      return;
    case ssUseCramMD5:
      SendReply(AConnection, AParams->Command, 334, AConnection->Sasl->FirstChallenge());
      return;
    case ssUseNTLM:
      if (initial) return RunAuthStep(AConnection, m, words.Strings(1));
      // An empty continuation is "334" and its blank: clients wait for both.
      SendResponse(AConnection, AParams->Command, "334 ");
      return;
  }
}

void TqvSmtpServer::RunAuthStep(TqvSmtpCommandConnection* AConnection, TqvServerSaslFlag AMechanism,
                                const std::string& ALine) {
  if (!AConnection) throw EInvalidCast();
  // Errors and refusals too leave the exchange: back to command mode first.
  struct TCommandModeOnExit {
    TqvSmtpServer* Server;
    TqvSmtpCommandConnection* Connection;
    bool Waiting = false;
    ~TCommandModeOnExit() {
      if (!Waiting && dynamic_cast<TqvProcessLineHandler*>(Connection->DataHandler()))
        Server->SetCommandHandler(Connection);
    }
  } exit{this, AConnection};
  switch (AMechanism) {
    case ssUseLogin:
      exit.Waiting = LoginStep(AConnection, ALine);
      break;
    case ssUseCramMD5:
    case ssUseNTLM:
      exit.Waiting = SaslStep(AConnection, ALine);
      break;
  }
}

std::string TqvSmtpServer::DecodeAuthLine(TqvSmtpCommandConnection* AConnection, const std::string& ALine) {
  const std::string line = qvtext::Trim(ALine);
  if (line == "*") AbortAuth(AConnection);
  try {
    return TqvEncoder::DecodeText(line, cmBase64);
  } catch (const EqvEncoderError&) {
    AbortAuth(AConnection);
  }
}

void TqvSmtpServer::AbortAuth(TqvSmtpCommandConnection* AConnection) {
  AConnection->LoginReset();
  AConnection->EnvelopeReset();
  AConnection->FState = qvSmtpGreeted;
  throw EqvSmtpServerError("AUTH", kAuthAborted, "Authentication aborted");
}

void TqvSmtpServer::FinishAuth(TqvSmtpCommandConnection* AConnection, bool AAuthorized) {
  if (TqvServerGuard* guard = Guard())
    AAuthorized = guard->CheckLogin(AConnection->UserName, AAuthorized, Port(), AConnection->PeerIP);
  if (!AAuthorized) {
    const uint8_t old = AConnection->FState;
    AConnection->LoginReset();
    // An envelope given before a failed login must not be delivered after it.
    AConnection->EnvelopeReset();
    AConnection->FState = qvSmtpGreeted;
    if (old != qvSmtpGreeted) DoStateChanged(AConnection);
    throw EqvSmtpServerError("AUTH", kAuthFailed, "Authentication failed");
  }
  AConnection->Authenticated = true;
  SetCommandHandler(AConnection);
  SendReply(AConnection, "AUTH", 235, "Authentication successful");
}

bool TqvSmtpServer::LoginStep(TqvSmtpCommandConnection* AConnection, const std::string& ALine) {
  const std::string text = DecodeAuthLine(AConnection, ALine);
  if (AConnection->UserName.empty()) {
    AConnection->UserName = text;
    SendReply(AConnection, "AUTH", 334, kPasswordPrompt);
    return true;
  }
  const TqvMailUserAccountWrapper account = LookupAccount(AConnection, AConnection->UserName, "");
  TqvMailUserAccountItem* item = account.Item();
  bool authorized = false, handled = false;
  DoAuthenticate(AConnection, item, AConnection->UserName, authorized, handled);
  if (!handled && item) authorized = item->CheckPassword(text);
  FinishAuth(AConnection, authorized);
  return false;
}

bool TqvSmtpServer::SaslStep(TqvSmtpCommandConnection* AConnection, const std::string& ALine) {
  TqvSaslServerExchange* sasl = AConnection->Sasl.get();
  const TqvSaslServerExchange::TStatus status = sasl ? sasl->Step(ALine) : TqvSaslServerExchange::TStatus::Aborted;
  if (status == TqvSaslServerExchange::TStatus::Aborted) AbortAuth(AConnection);
  if (status == TqvSaslServerExchange::TStatus::Continue) {
    SendReply(AConnection, "AUTH", 334, sasl->NextChallenge());
    return true;
  }
  AConnection->UserName = sasl->UserName();
  const TqvMailUserAccountWrapper account = LookupAccount(AConnection, AConnection->UserName, "");
  TqvMailUserAccountItem* item = account.Item();
  const bool authorized = sasl->Authorize(item, [&](TqvMailUserAccountItem*& a, bool& ok, bool& handled) {
    DoAuthenticate(AConnection, a, AConnection->UserName, ok, handled);
  });
  AConnection->Sasl.reset();
  FinishAuth(AConnection, authorized);
  return false;
}
