// AUTH of the SMTP server: LOGIN, CRAM-MD5 and NTLM over continuation lines.
#include <optional>

#include "NtlmPackage.h"
#include "qvCryptHash.h"
#include "qvEncoder.h"
#include "qvSmtpServer.h"
#include "qvSspiAuth.h"
#include "qvTextUtils.h"
#include "qvUtils.h"

namespace {

constexpr int kAuthAborted = 501;
constexpr int kAuthFailed = 535;
constexpr int kAuthUnknownMechanism = 504;
constexpr const char* kUsernamePrompt = "VXNlcm5hbWU6";  // "Username:"
constexpr const char* kPasswordPrompt = "UGFzc3dvcmQ6";  // "Password:"

std::string Base64(std::string_view AText) { return TqvEncoder::EncodeTextToLine(AText, cmBase64); }

}  // namespace

void TqvSmtpServer::CmdAuth(TqvSmtpCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (AConnection->Authenticated || !AConnection->EhloUsed || !FUseAuth)
    throw EqvSmtpServerError(AParams->Command, 503, "Bad sequence of commands");
  TStringList words;
  SplitText(AParams->Params, words);
  const std::string mechanism = words.Count() > 0 ? qvtext::UpperCase(words.Strings(0)) : std::string();
  std::optional<TAuthMechanism> chosen;
  if (mechanism == "LOGIN" && (FSaslFlags & SaslFlag(ssUseLogin)))
    chosen = TAuthMechanism::Login;
  else if (mechanism == "CRAM-MD5" && (FSaslFlags & SaslFlag(ssUseCramMD5)))
    chosen = TAuthMechanism::CramMd5;
  else if (mechanism == "NTLM" && (FSaslFlags & SaslFlag(ssUseNTLM)))
    chosen = TAuthMechanism::Ntlm;
  if (!chosen) throw EqvSmtpServerError(AParams->Command, kAuthUnknownMechanism, "Unrecognized authentication type");

  const TAuthMechanism m = *chosen;
  StartReadLine(AConnection, std::make_unique<TqvTcpCommandFunc>(
                                 "AUTH", [this, m](TqvCommandConnection* c, TqvTcpCommandParams* p) {
                                   RunAuthStep(dynamic_cast<TqvSmtpCommandConnection*>(c), m, p->Params);
                                 }));
  const bool initial = words.Count() > 1;
  switch (m) {
    case TAuthMechanism::Login:
      if (initial) return RunAuthStep(AConnection, m, words.Strings(1));
      SendReply(AConnection, AParams->Command, 334, kUsernamePrompt);
      return;
    case TAuthMechanism::CramMd5:
      AConnection->Challenge = GenerateChallenge();
      SendReply(AConnection, AParams->Command, 334, Base64(AConnection->Challenge));
      return;
    case TAuthMechanism::Ntlm:
      StartNtlm(AConnection);
      if (initial) return RunAuthStep(AConnection, m, words.Strings(1));
      // An empty continuation is "334" and its blank: clients wait for both.
      SendResponse(AConnection, AParams->Command, "334 ");
      return;
  }
}

void TqvSmtpServer::RunAuthStep(TqvSmtpCommandConnection* AConnection, TAuthMechanism AMechanism,
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
    case TAuthMechanism::Login:
      exit.Waiting = LoginStep(AConnection, ALine);
      break;
    case TAuthMechanism::CramMd5:
      exit.Waiting = CramMd5Step(AConnection, ALine);
      break;
    case TAuthMechanism::Ntlm:
      exit.Waiting = NtlmStep(AConnection, ALine);
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

bool TqvSmtpServer::CramMd5Step(TqvSmtpCommandConnection* AConnection, const std::string& ALine) {
  const std::string text = DecodeAuthLine(AConnection, ALine);
  if (WordCount(text, " ") != 2) AbortAuth(AConnection);
  AConnection->UserName = ExtractWord(1, text, " ");
  const std::string digest = ExtractWord(2, text, " ");
  const TqvMailUserAccountWrapper account = LookupAccount(AConnection, AConnection->UserName, "");
  TqvMailUserAccountItem* item = account.Item();
  bool authorized = false, handled = false;
  DoAuthenticate(AConnection, item, AConnection->UserName, authorized, handled);
  // HMAC_MD5 gives "" for an empty key, which never equals a digest word.
  if (!handled && item) authorized = HMAC_MD5(AConnection->Challenge, item->Password()) == digest;
  FinishAuth(AConnection, authorized);
  return false;
}

void TqvSmtpServer::StartNtlm(TqvSmtpCommandConnection* AConnection) {
  AConnection->NtlmContext = std::make_unique<TqvNtAuthServerSspi>();
  AConnection->NtlmContext->HostName = GetHostName();
  // The exchange proves the password of an account of ours, never anyone else.
  AConnection->NtlmContext->OnGetPassword = [this, AConnection](TObject*, const std::string& AUser,
                                                                const std::string&, std::string& APassword,
                                                                bool& AFound) {
    const TqvMailUserAccountWrapper account = LookupAccount(AConnection, AUser, "");
    AFound = account.Item() && !account.Item()->Password().empty();
    if (AFound) APassword = account.Item()->Password();
  };
}

bool TqvSmtpServer::NtlmStep(TqvSmtpCommandConnection* AConnection, const std::string& ALine) {
  const std::string line = qvtext::Trim(ALine);
  if (line == "*" || !AConnection->NtlmContext) AbortAuth(AConnection);
  std::string user;
  try {
    const TBytes token = TqvEncoder::DecodeTextToBytes(line, cmBase64);
    TMemoryStream stream;
    if (!token.empty()) stream.WriteBuffer(token.data(), static_cast<int64_t>(token.size()));
    stream.SetPosition(0);
    if (!AConnection->NtlmContext->AcceptToken(plat::NTLMSP_NAME_A, stream, nullptr)) {
      const std::string reply(static_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
      SendReply(AConnection, "AUTH", 334, Base64(reply));
      return true;
    }
    AConnection->NtlmContext->Impersonate();
    user = plat::GetCurrentUserName();
    AConnection->NtlmContext->RevertToSelf();
  } catch (const EqvEncoderError&) {
    AbortAuth(AConnection);
  } catch (const EqvSSPIError&) {
    AbortAuth(AConnection);
  }
  AConnection->UserName = user;
  const TqvMailUserAccountWrapper account = LookupAccount(AConnection, user, "");
  TqvMailUserAccountItem* item = account.Item();
  bool authorized = item != nullptr, handled = false;
  DoAuthenticate(AConnection, item, user, authorized, handled);
  FinishAuth(AConnection, authorized);
  return false;
}
