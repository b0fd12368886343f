#include "qvServerSasl.h"

#include "NtlmPackage.h"
#include "qvCryptHash.h"
#include "qvEncoder.h"
#include "qvSspi.h"
#include "qvSspiAuth.h"
#include "qvTextUtils.h"
#include "qvTextSplit.h"

namespace {

// Tokens hold NUL bytes: encode bytes, never text.
std::string Base64(const std::string& ABytes) {
  return TqvEncoder::EncodeBytesToLine(TBytes(ABytes.begin(), ABytes.end()), cmBase64);
}

}  // namespace

std::optional<TqvServerSaslFlag> OfferedSaslMechanism(std::string_view AName, TqvServerSaslFlags AOffered) {
  for (const TqvServerSaslFlag m : {ssUseLogin, ssUseCramMD5, ssUseNTLM})
    if ((AOffered & SaslFlag(m)) && qvtext::SameText(AName, SaslMechanismName(m))) return m;
  return std::nullopt;
}

const char* SaslMechanismName(TqvServerSaslFlag AMechanism) {
  switch (AMechanism) {
    case ssUseLogin: return "LOGIN";
    case ssUseCramMD5: return "CRAM-MD5";
    case ssUseNTLM: return "NTLM";
  }
  return "";
}

std::unique_ptr<TqvSaslServerExchange> TqvSaslServerExchange::Start(TqvServerSaslFlag AMechanism,
                                                                    const TStartInfo& AInfo) {
  switch (AMechanism) {
    case ssUseCramMD5: return CramMd5(AInfo.Challenge ? AInfo.Challenge() : std::string());
    case ssUseNTLM: return Ntlm(AInfo.HostName, AInfo.Passwords);
    case ssUseLogin: break;
  }
  return nullptr;
}

TqvSaslServerExchange::TqvSaslServerExchange(TqvServerSaslFlag AMechanism) : FMechanism(AMechanism) {}
TqvSaslServerExchange::~TqvSaslServerExchange() = default;

std::unique_ptr<TqvSaslServerExchange> TqvSaslServerExchange::CramMd5(std::string AChallenge) {
  std::unique_ptr<TqvSaslServerExchange> x(new TqvSaslServerExchange(ssUseCramMD5));
  x->FChallenge = std::move(AChallenge);
  return x;
}

std::unique_ptr<TqvSaslServerExchange> TqvSaslServerExchange::Ntlm(const std::string& AHostName,
                                                                   TPasswordLookup APasswords) {
  std::unique_ptr<TqvSaslServerExchange> x(new TqvSaslServerExchange(ssUseNTLM));
  x->FNtlm = std::make_unique<TqvNtAuthServerSspi>();
  x->FNtlm->HostName = AHostName;
  // The package checks the response against the account's password; an
  // account without one, or no account, is refused there.
  x->FNtlm->OnGetPassword = [APasswords](TObject*, const std::string& AUser, const std::string&,
                                         std::string& APassword, bool& AFound) {
    std::string password;
    AFound = APasswords && APasswords(AUser, password) && !password.empty();
    if (AFound) APassword = password;
  };
  return x;
}

std::string TqvSaslServerExchange::FirstChallenge() const {
  return FMechanism == ssUseCramMD5 ? Base64(FChallenge) : std::string();
}

TqvSaslServerExchange::TStatus TqvSaslServerExchange::Step(const std::string& ALine) {
  FNext.clear();
  return FMechanism == ssUseNTLM ? NtlmStep(ALine) : CramStep(ALine);
}

TqvSaslServerExchange::TStatus TqvSaslServerExchange::CramStep(const std::string& ALine) {
  const std::string line = qvtext::Trim(ALine);
  if (line == "*") return TStatus::Aborted;
  std::string text;
  try {
    const TBytes bytes = TqvEncoder::DecodeTextToBytes(line, cmBase64);
    text.assign(bytes.begin(), bytes.end());
  } catch (const EqvEncoderError&) {
    return TStatus::Aborted;
  }
  if (WordCount(text, " ") != 2) return TStatus::Aborted;
  FUserName = ExtractWord(1, text, " ");
  FDigest = ExtractWord(2, text, " ");
  return TStatus::Complete;
}

TqvSaslServerExchange::TStatus TqvSaslServerExchange::NtlmStep(const std::string& ALine) {
  const std::string line = qvtext::Trim(ALine);
  if (line == "*" || !FNtlm) return TStatus::Aborted;
  try {
    const TBytes token = TqvEncoder::DecodeTextToBytes(line, cmBase64);
    TMemoryStream stream;
    if (!token.empty()) stream.WriteBuffer(token.data(), static_cast<int64_t>(token.size()));
    stream.SetPosition(0);
    if (!FNtlm->AcceptToken(plat::NTLMSP_NAME_A, stream, nullptr)) {
      FNext = Base64(std::string(static_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size())));
      return TStatus::Continue;
    }
    FUserName = FNtlm->ImpersonatedUserName();
  } catch (const EqvEncoderError&) {
    return TStatus::Aborted;
  } catch (const EqvSSPIError&) {
    return TStatus::Aborted;
  }
  FNtlm.reset();
  return TStatus::Complete;
}

bool TqvSaslServerExchange::CheckDigest(const std::string& APassword) const {
  // HMAC_MD5 gives "" for an empty key, which never equals a digest word.
  return FMechanism == ssUseCramMD5 && !FDigest.empty() && HMAC_MD5(FChallenge, APassword) == FDigest;
}
