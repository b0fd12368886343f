// The "NTLM" package: credentials and contexts of the provider over the NTLM
// engine, converting names and passwords between the process code page and
// the UTF-16 the protocol hashes.
#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <memory>

#include "AsciiText.h"
#include "CodePage.h"
#include "NtlmEngine.h"
#include "NtlmPackage.h"
#include "SecurityPackage.h"

namespace plat {
namespace {

constexpr std::uint32_t kMaxNtlmToken = 2888;

// Whom the thread impersonates: a weak reference, so that deleting the context
// (on whatever thread) ends the impersonation everywhere.
struct Impersonation {
  std::string User;
};
thread_local std::weak_ptr<Impersonation> tImpersonated;

struct HostNames {
  std::u16string NetBios;  // upper case, at most 15 characters
  std::u16string Dns;
};

HostNames LocalHostNames(const std::string& computer) {
  std::string host = computer;
  if (host.empty()) {
    std::array<char, 256> buf{};
    if (::gethostname(buf.data(), buf.size() - 1) == 0) host = buf.data();
  }
  if (host.empty()) host = "localhost";
  std::string nb = host.substr(0, std::min(host.find('.'), std::string::size_type(15)));
  nb = AsciiUpperCase(nb);
  return {CodePageToWideString(nb, CP_ACP), CodePageToWideString(host, CP_ACP)};
}

SECURITY_STATUS ToSecStatus(ntlm::NtlmStatus s) {
  switch (s) {
    case ntlm::NtlmStatus::Complete: return SEC_E_OK;
    case ntlm::NtlmStatus::Continue: return SEC_I_CONTINUE_NEEDED;
    case ntlm::NtlmStatus::InvalidToken: return SEC_E_INVALID_TOKEN;
    case ntlm::NtlmStatus::LogonDenied: return SEC_E_LOGON_DENIED;
    case ntlm::NtlmStatus::OutOfSequence: return SEC_E_OUT_OF_SEQUENCE;
  }
  return SEC_E_INTERNAL_ERROR;
}

// Runs an engine step, turning the few things that can raise into statuses.
template <typename F>
SECURITY_STATUS Guarded(F f) {
  try {
    return ToSecStatus(f());
  } catch (const std::bad_alloc&) {
    return SEC_E_INSUFFICIENT_MEMORY;
  } catch (...) {
    return SEC_E_INTERNAL_ERROR;
  }
}

struct NtlmCredentials : SecurityCredentials {
  std::optional<SecurityIdentity> Identity;  // outbound
  NtlmAccountLookup Lookup;                  // inbound; empty denies everyone
  HostNames Host;
  std::u16string Domain;
};

class NtlmServerSecurityContext : public SecurityContext {
 public:
  explicit NtlmServerSecurityContext(std::shared_ptr<NtlmCredentials> cred)
      : FCred(std::move(cred)), FEngine(MakeOptions()) {}

  SECURITY_STATUS Step(ContextStep& step) override {
    return Guarded([&] { return FEngine.Accept(step.InputToken, step.OutputToken); });
  }

  SECURITY_STATUS QueryAttribute(std::uint32_t attribute, void* buffer) override {
    if (attribute == SECPKG_ATTR_SIZES) {
      *static_cast<SecPkgContext_Sizes*>(buffer) = SecPkgContext_Sizes{kMaxNtlmToken, 16, 0, 16};
      return SEC_E_OK;
    }
    if (attribute != SECPKG_ATTR_NAMES) return SEC_E_UNSUPPORTED_FUNCTION;
    if (!FEngine.Completed()) return SEC_E_INVALID_HANDLE;
    const std::string domain = ToLocal(FEngine.Domain());
    const std::string name = domain.empty() ? ToLocal(FEngine.UserName()) : domain + "\\" + ToLocal(FEngine.UserName());
    char* text = static_cast<char*>(AllocateContextBuffer(name.size() + 1));
    if (!text) return SEC_E_INSUFFICIENT_MEMORY;
    std::memcpy(text, name.c_str(), name.size() + 1);
    static_cast<SecPkgContext_NamesA*>(buffer)->sUserName = text;
    return SEC_E_OK;
  }

  SECURITY_STATUS Impersonate() override {
    if (!FEngine.Completed()) return SEC_E_NO_IMPERSONATION;
    try {
      if (!FWho) FWho = std::make_shared<Impersonation>(Impersonation{ToLocal(FEngine.UserName())});
    } catch (const std::bad_alloc&) {
      return SEC_E_INSUFFICIENT_MEMORY;
    }
    tImpersonated = FWho;
    return SEC_E_OK;
  }

  // Always back to the process's own identity, whatever the thread was doing.
  SECURITY_STATUS Revert() override {
    tImpersonated.reset();
    return FEngine.Completed() ? SEC_E_OK : SEC_E_NO_IMPERSONATION;
  }

 private:
  ntlm::NtlmServerOptions MakeOptions() {
    ntlm::NtlmServerOptions o;
    o.NbComputerName = FCred->Host.NetBios;
    o.DnsComputerName = FCred->Host.Dns;
    o.NbDomainName = FCred->Domain;
    if (FCred->Lookup)
      o.Lookup = [this](const std::u16string& user, const std::u16string& domain) -> std::optional<std::u16string> {
        const std::optional<std::string> pw = FCred->Lookup(ToLocal(user), ToLocal(domain));
        if (!pw) return std::nullopt;
        return CodePageToWideString(*pw, CP_ACP);
      };
    return o;
  }

  // Names that came as 8-bit text are passed back as the bytes the peer sent.
  std::string ToLocal(const std::u16string& s) const {
    if (FEngine.NegotiatedFlags() & ntlm::NEGOTIATE_UNICODE) return WideStringToCodePage(s, CP_ACP);
    return std::string(s.begin(), s.end());
  }

  std::shared_ptr<NtlmCredentials> FCred;
  ntlm::NtlmServerContext FEngine;
  std::shared_ptr<Impersonation> FWho;
};

class NtlmClientSecurityContext : public SecurityContext {
 public:
  explicit NtlmClientSecurityContext(const NtlmCredentials& cred) : FEngine(MakeOptions(cred)) {}

  SECURITY_STATUS Step(ContextStep& step) override {
    return Guarded([&] { return FEngine.Step(step.InputToken, step.OutputToken); });
  }

 private:
  static ntlm::NtlmClientOptions MakeOptions(const NtlmCredentials& cred) {
    ntlm::NtlmClientOptions o;
    o.User = CodePageToWideString(cred.Identity->User, CP_ACP);
    o.Domain = CodePageToWideString(cred.Identity->Domain, CP_ACP);
    o.Password = CodePageToWideString(cred.Identity->Password, CP_ACP);
    o.Workstation = cred.Host.NetBios;
    return o;
  }

  ntlm::NtlmClientContext FEngine;
};

std::string Text(const unsigned char* p, std::uint32_t n) {
  return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

class NtlmPackage : public SecurityPackage {
 public:
  NtlmPackage() {
    FInfo.Name = NTLMSP_NAME_A;
    FInfo.Comment = "NTLM Security Package";
    FInfo.Capabilities = 0x00000B30;  // connection, multi-leg, impersonation, Win32 names
    FInfo.Version = 1;
    FInfo.RpcId = 10;
    FInfo.MaxToken = kMaxNtlmToken;
    FInfo.AuthDataIsIdentity = false;  // inbound data is our own record, decoded below
  }

  const SecurityPackageInfo& Info() const override { return FInfo; }

  SECURITY_STATUS AcquireCredentials(const CredentialRequest& request,
                                     std::shared_ptr<SecurityCredentials>& credentials) override {
    try {
      auto cred = std::make_shared<NtlmCredentials>();
      if (request.Direction == CredentialDirection::Outbound) {
        const auto* id = static_cast<const SEC_WINNT_AUTH_IDENTITY_A*>(request.AuthData);
        if (!id) return SEC_E_NO_CREDENTIALS;
        if (id->Flags != SEC_WINNT_AUTH_IDENTITY_ANSI) return SEC_E_UNKNOWN_CREDENTIALS;
        cred->Identity = SecurityIdentity{Text(id->User, id->UserLength), Text(id->Domain, id->DomainLength),
                                          Text(id->Password, id->PasswordLength)};
        cred->Host = LocalHostNames({});
      } else {
        // Only our own record is used; anything else (an identity) is not a
        // source of passwords.
        std::uint32_t magic = 0;
        if (request.AuthData) std::memcpy(&magic, request.AuthData, sizeof magic);
        const auto* data = static_cast<const NTLM_SERVER_AUTH_DATA*>(request.AuthData);
        std::string computer, domain;
        if (data && magic == NTLM_SERVER_AUTH_MAGIC) {
          cred->Lookup = data->Lookup;
          computer = data->ComputerName;
          domain = data->DomainName;
        }
        cred->Host = LocalHostNames(computer);
        cred->Domain = CodePageToWideString(domain.empty() ? std::string("WORKGROUP") : domain, CP_ACP);
      }
      credentials = std::move(cred);
      return SEC_E_OK;
    } catch (const std::bad_alloc&) {
      return SEC_E_INSUFFICIENT_MEMORY;
    }
  }

  SECURITY_STATUS CreateContext(const std::shared_ptr<SecurityCredentials>& credentials,
                                CredentialDirection direction, std::unique_ptr<SecurityContext>& context) override {
    auto cred = std::dynamic_pointer_cast<NtlmCredentials>(credentials);
    if (!cred) return SEC_E_UNKNOWN_CREDENTIALS;
    try {
      if (direction == CredentialDirection::Inbound)
        context = std::make_unique<NtlmServerSecurityContext>(cred);
      else if (cred->Identity)
        context = std::make_unique<NtlmClientSecurityContext>(*cred);
      else
        return SEC_E_NO_CREDENTIALS;
      return SEC_E_OK;
    } catch (const std::bad_alloc&) {
      return SEC_E_INSUFFICIENT_MEMORY;
    }
  }

 private:
  SecurityPackageInfo FInfo;
};

std::unique_ptr<SecurityPackage> CreateNtlmPackage() { return std::make_unique<NtlmPackage>(); }

const SecurityPackageRegistrar kRegistrar(&CreateNtlmPackage);

}  // namespace

const char* NtlmPackageName() { return NTLMSP_NAME_A; }

std::string GetCurrentUserName() {
  if (const std::shared_ptr<Impersonation> who = tImpersonated.lock()) return who->User;
  std::array<char, 4096> buf{};
  passwd pw{};
  passwd* res = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &res) != 0 || res == nullptr || !res->pw_name)
    return {};
  return res->pw_name;
}

}  // namespace plat
