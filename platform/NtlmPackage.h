// The "NTLM" security package of the provider (SecurityProvider.h), on the
// engine of NtlmEngine.h, and the thread's impersonated user.
//
// Credentials (AcquireCredentialsHandleA with package "NTLM"):
// - outbound (client): authData is a SEC_WINNT_AUTH_IDENTITY_A; without one
//   there is no logged-on user to borrow, so SEC_E_NO_CREDENTIALS.
// - inbound (server): authData is an NTLM_SERVER_AUTH_DATA whose Lookup gives
//   an account's password; the record is copied, so it may go away after the
//   call. Without a record (or with any other record) every logon is denied.
//   Contexts of one credential may call Lookup from several threads at once.
// Texts in both records are in the process code page (CodePage.h).
// Accept statuses: SEC_I_CONTINUE_NEEDED (challenge sent), SEC_E_OK (done),
// SEC_E_INVALID_TOKEN (malformed), SEC_E_LOGON_DENIED (refused identity),
// SEC_E_OUT_OF_SEQUENCE. ImpersonateSecurityContext on a completed server
// context makes GetCurrentUserName return the client's user name on the
// calling thread until RevertSecurityContext, or the context's deletion.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace plat {

constexpr const char* NTLMSP_NAME_A = "NTLM";

// The account's password, or nullopt when there is no such account.
using NtlmAccountLookup =
    std::function<std::optional<std::string>(const std::string& user, const std::string& domain)>;

constexpr std::uint32_t NTLM_SERVER_AUTH_MAGIC = 0x4E544C53;  // "SLTN"
struct NTLM_SERVER_AUTH_DATA {
  std::uint32_t Magic = NTLM_SERVER_AUTH_MAGIC;
  NtlmAccountLookup Lookup;
  std::string ComputerName;  // in the challenge; "" = this host's name
  std::string DomainName;    // in the challenge; "" = "WORKGROUP"
};

// The package name; calling it also ties the package into the link.
[[nodiscard]] const char* NtlmPackageName();

// The impersonated client's user name on this thread, else the process's
// user name ("" when the system has none).
[[nodiscard]] std::string GetCurrentUserName();

}  // namespace plat
