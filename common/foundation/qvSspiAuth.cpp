#include "qvSspiAuth.h"

#include <vector>

#include "NtlmPackage.h"

namespace {

// Context requirements: delegate, mutual authentication, replay and sequence
// detection, confidentiality, allocated memory, connection, integrity.
constexpr uint32_t kClientContextFlags = 0x1091F;
constexpr uint32_t kServerContextFlags = 0x2091F;

std::vector<uint8_t> RemainingBytes(TStream& AStream) {
  const int64_t left = AStream.Size() - AStream.Position();
  std::vector<uint8_t> bytes(static_cast<size_t>(left > 0 ? left : 0));
  if (!bytes.empty()) AStream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  return bytes;
}

}  // namespace

TqvAuthIdentity::TqvAuthIdentity(const std::string& AUser, const std::string& APassword)
    : AccountPassword(APassword) {
  std::string::size_type cut = AUser.find('\\');
  if (cut == std::string::npos) cut = AUser.find('/');
  if (cut == std::string::npos) {
    AccountName = AUser;
  } else {
    AccountDomain = AUser.substr(0, cut);
    AccountName = AUser.substr(cut + 1);
  }
}

const plat::SEC_WINNT_AUTH_IDENTITY_A* TqvAuthIdentity::AuthIdentity() {
  FUser = AccountName;
  FDomain = AccountDomain;
  FPassword = AccountPassword;
  auto text = [](const std::string& s) {
    return s.empty() ? nullptr : reinterpret_cast<const unsigned char*>(s.c_str());
  };
  FRecord = plat::SEC_WINNT_AUTH_IDENTITY_A{};
  FRecord.User = text(FUser);
  FRecord.UserLength = static_cast<uint32_t>(FUser.size());
  FRecord.Domain = text(FDomain);
  FRecord.DomainLength = static_cast<uint32_t>(FDomain.size());
  FRecord.Password = text(FPassword);
  FRecord.PasswordLength = static_cast<uint32_t>(FPassword.size());
  FRecord.Flags = plat::SEC_WINNT_AUTH_IDENTITY_ANSI;
  return &FRecord;
}

TqvNtAuthSspi::~TqvNtAuthSspi() {
  try {
    ReleaseHandles();
  } catch (...) {
    // The table could not be reached; there is nothing left to free then.
  }
}

void TqvNtAuthSspi::ReleaseHandles() {
  if (!plat::SecIsValidHandle(&FContext) && !plat::SecIsValidHandle(&FCredentials)) return;
  const plat::SecurityFunctionTableA& t = FunctionTable();
  if (plat::SecIsValidHandle(&FContext)) (void)t.DeleteSecurityContext(&FContext);
  if (plat::SecIsValidHandle(&FCredentials)) (void)t.FreeCredentialsHandle(&FCredentials);
  plat::SecInvalidateHandle(&FContext);
  plat::SecInvalidateHandle(&FCredentials);
}

void TqvNtAuthSspi::AcquireCredentials(const std::string& APackage, uint32_t ADirection, const void* AAuthData) {
  ReleaseHandles();
  (void)plat::NtlmPackageName();  // keeps the package in the link
  const plat::SECURITY_STATUS st = FunctionTable().AcquireCredentialsHandleA(
      nullptr, APackage.c_str(), ADirection, nullptr, AAuthData, nullptr, nullptr, &FCredentials, nullptr);
  if (st != plat::SEC_E_OK) {
    plat::SecInvalidateHandle(&FCredentials);
    RaiseSspiError(st, qvSspiAcquireFailed);
  }
}

bool TqvNtAuthSspi::FinishStep(plat::SECURITY_STATUS AStatus, plat::SecBufferDesc& AOutput, TStream& AToken) {
  const plat::SecurityFunctionTableA& t = FunctionTable();
  plat::SecBuffer& out = AOutput.pBuffers[0];
  // The provider's buffer is released on every path, raising or not.
  struct Release {
    const plat::SecurityFunctionTableA& T;
    plat::SecBuffer& B;
    ~Release() {
      if (B.pvBuffer) (void)T.FreeContextBuffer(B.pvBuffer);
    }
  } release{t, out};

  const bool complete = AStatus == plat::SEC_E_OK || AStatus == plat::SEC_I_COMPLETE_NEEDED;
  if (AStatus == plat::SEC_I_COMPLETE_NEEDED || AStatus == plat::SEC_I_COMPLETE_AND_CONTINUE) {
    const plat::SECURITY_STATUS st = t.CompleteAuthToken(&FContext, &AOutput);
    if (st != plat::SEC_E_OK) RaiseSspiError(st);
  } else if (AStatus != plat::SEC_E_OK && AStatus != plat::SEC_I_CONTINUE_NEEDED) {
    RaiseSspiError(AStatus);
  }
  if (out.cbBuffer > 0 && out.pvBuffer) {
    AToken.SetSize(0);
    AToken.WriteBuffer(out.pvBuffer, out.cbBuffer);
    AToken.SetPosition(0);
  }
  return complete;
}

bool TqvNtAuthServerSspi::AcceptToken(const std::string& APackage, TStream& AToken, TqvAuthIdentity* AIdentity) {
  std::vector<uint8_t> input = RemainingBytes(AToken);
  plat::SecBuffer inBuf{static_cast<uint32_t>(input.size()), plat::SECBUFFER_TOKEN, input.data()};
  plat::SecBufferDesc inDesc{plat::SECBUFFER_VERSION, 1, &inBuf};

  if (StartPending) {
    plat::NTLM_SERVER_AUTH_DATA accounts;
    const void* authData = AIdentity ? AIdentity->AuthIdentity() : nullptr;
    if (OnGetPassword) {
      accounts.Lookup = [this](const std::string& user, const std::string& domain) -> std::optional<std::string> {
        std::string password;
        bool found = false;
        OnGetPassword(this, user, domain, password, found);
        if (!found) return std::nullopt;
        return password;
      };
      accounts.ComputerName = HostName;
      authData = &accounts;
    }
    AcquireCredentials(APackage, plat::SECPKG_CRED_INBOUND, authData);
    StartPending = false;
  }
  plat::SecBuffer outBuf{0, plat::SECBUFFER_TOKEN, nullptr};
  plat::SecBufferDesc outDesc{plat::SECBUFFER_VERSION, 1, &outBuf};
  uint32_t attributes = 0;
  plat::CtxtHandle* existing = plat::SecIsValidHandle(&FContext) ? &FContext : nullptr;
  const plat::SECURITY_STATUS st =
      FunctionTable().AcceptSecurityContext(&FCredentials, existing, input.empty() ? nullptr : &inDesc,
                                            kServerContextFlags, 0, &FContext, &outDesc, &attributes, nullptr);
  return FinishStep(st, outDesc, AToken);
}

void TqvNtAuthServerSspi::Impersonate() {
  const plat::SECURITY_STATUS st = FunctionTable().ImpersonateSecurityContext(&FContext);
  if (st != plat::SEC_E_OK) RaiseSspiError(st);
}

void TqvNtAuthServerSspi::RevertToSelf() {
  const plat::SECURITY_STATUS st = FunctionTable().RevertSecurityContext(&FContext);
  if (st != plat::SEC_E_OK) RaiseSspiError(st);
}

std::string TqvNtAuthServerSspi::ImpersonatedUserName() {
  Impersonate();
  struct Revert {
    TqvNtAuthServerSspi& S;
    ~Revert() {
      try {
        S.RevertToSelf();
      } catch (...) {
        // Reverting a context that impersonated cannot fail; never throw here.
      }
    }
  } revert{*this};
  return plat::GetCurrentUserName();
}

bool TqvNtAuthClientSspi::GenerateToken(const std::string& APackage, TStream& AToken, TqvAuthIdentity* AIdentity,
                                        const std::string& ATargetName) {
  std::vector<uint8_t> input = RemainingBytes(AToken);
  plat::SecBuffer inBuf{static_cast<uint32_t>(input.size()), plat::SECBUFFER_TOKEN, input.data()};
  plat::SecBufferDesc inDesc{plat::SECBUFFER_VERSION, 1, &inBuf};
  const bool start = input.empty();
  if (start)
    AcquireCredentials(APackage, plat::SECPKG_CRED_OUTBOUND, AIdentity ? AIdentity->AuthIdentity() : nullptr);

  plat::SecBuffer outBuf{0, plat::SECBUFFER_TOKEN, nullptr};
  plat::SecBufferDesc outDesc{plat::SECBUFFER_VERSION, 1, &outBuf};
  uint32_t attributes = 0;
  const plat::SECURITY_STATUS st = FunctionTable().InitializeSecurityContextA(
      &FCredentials, start ? nullptr : &FContext, ATargetName.c_str(), kClientContextFlags, 0, 0,
      start ? nullptr : &inDesc, 0, &FContext, &outDesc, &attributes, nullptr);
  return FinishStep(st, outDesc, AToken);
}
