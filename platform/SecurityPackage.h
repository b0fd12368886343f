// How a security package plugs into the provider of SecurityProvider.h.
//
// The provider's function table is a dispatcher: it owns the handles, the
// SecBufferDesc plumbing and the provider-allocated memory; a package only sees
// the calls below. A package registers itself by name, either by calling
// RegisterSecurityPackage before the first use of the table, or with a static
//     static plat::SecurityPackageRegistrar reg(&CreateMyPackage);
// in its own .cpp. Trap: the layers are static archives, so an object file that
// nothing references is never linked and its registrar never runs; give the
// package's file one function the library calls (e.g. a name or factory getter).
// Registration order is enumeration order; a later package of the same name
// replaces the earlier one (tests use this for fakes).
//
// Threads: a package object is shared by all threads (its methods must be
// thread-safe); credentials may be shared by contexts on several threads;
// a context is driven by one thread at a time. No method may throw: every
// failure is a SEC_E_ status.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "SecurityProvider.h"

namespace plat {

enum class CredentialDirection : std::uint32_t {
  Inbound = SECPKG_CRED_INBOUND,    // server side, accepts contexts
  Outbound = SECPKG_CRED_OUTBOUND,  // client side, initialises contexts
};

// User, domain and password decoded from SEC_WINNT_AUTH_IDENTITY_A.
struct SecurityIdentity {
  std::string User;
  std::string Domain;
  std::string Password;
};

struct CredentialRequest {
  CredentialDirection Direction = CredentialDirection::Outbound;
  std::string Principal;                    // "" when the caller gave none
  std::optional<SecurityIdentity> Identity;  // set for packages with AuthDataIsIdentity
  const void* AuthData = nullptr;           // the caller's record as given (SCHANNEL_CRED for TLS)
};

// A package's credentials; the provider keeps them alive while any context made
// from them exists, even after FreeCredentialsHandle.
class SecurityCredentials {
 public:
  virtual ~SecurityCredentials() = default;
};

// One Initialize/Accept step. Input: the first SECBUFFER_TOKEN of the caller's
// input (empty on a client's first step). Output: the token to send (may be
// empty); ExtraBytes = bytes at the end of InputToken not consumed (reported as
// SECBUFFER_EXTRA); MissingBytes with SEC_E_INCOMPLETE_MESSAGE = bytes still
// needed when known (SECBUFFER_MISSING).
struct ContextStep {
  std::span<const std::uint8_t> InputToken;
  std::string_view TargetName;  // client side: the server name to check
  std::uint32_t RequestFlags = 0;
  std::vector<std::uint8_t> OutputToken;
  std::uint32_t ExtraBytes = 0;
  std::uint32_t MissingBytes = 0;
  std::uint32_t ContextAttributes = 0;
};

class SecurityContext {
 public:
  virtual ~SecurityContext() = default;

  // Next step of the exchange; statuses as SSPI: SEC_E_OK, SEC_I_CONTINUE_NEEDED,
  // SEC_I_COMPLETE_NEEDED, SEC_E_INCOMPLETE_MESSAGE, errors. The provider calls
  // it for the first step too, right after CreateContext.
  [[nodiscard]] virtual SECURITY_STATUS Step(ContextStep& step) = 0;

  [[nodiscard]] virtual SECURITY_STATUS CompleteAuthToken(SecBufferDesc* /*token*/) { return SEC_E_OK; }
  // The caller's control token (TLS: the SCHANNEL_SHUTDOWN dword).
  [[nodiscard]] virtual SECURITY_STATUS ApplyControlToken(std::span<const std::uint8_t> /*token*/) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  // Fills the caller's attribute record. Memory handed out inside it comes from
  // AllocateContextBuffer (released by FreeContextBuffer), or for a certificate
  // context from CryptoApi.h (released by CertFreeCertificateContext).
  [[nodiscard]] virtual SECURITY_STATUS QueryAttribute(std::uint32_t /*attribute*/, void* /*buffer*/) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  [[nodiscard]] virtual SECURITY_STATUS Impersonate() { return SEC_E_NO_IMPERSONATION; }
  [[nodiscard]] virtual SECURITY_STATUS Revert() { return SEC_E_NO_IMPERSONATION; }
  // Stream packages only: in-place record protection over the caller's buffers.
  [[nodiscard]] virtual SECURITY_STATUS Encrypt(SecBufferDesc* /*message*/) { return SEC_E_UNSUPPORTED_FUNCTION; }
  [[nodiscard]] virtual SECURITY_STATUS Decrypt(SecBufferDesc* /*message*/) { return SEC_E_UNSUPPORTED_FUNCTION; }
};

struct SecurityPackageInfo {
  std::string Name;     // what EnumerateSecurityPackagesA lists and callers ask for
  std::string Comment;
  std::uint32_t Capabilities = 0;
  std::uint16_t Version = 1;
  std::uint16_t RpcId = 0xFFFF;
  std::uint32_t MaxToken = 0;
  bool AuthDataIsIdentity = false;  // decode AuthData as SEC_WINNT_AUTH_IDENTITY_A
};

class SecurityPackage {
 public:
  virtual ~SecurityPackage() = default;
  [[nodiscard]] virtual const SecurityPackageInfo& Info() const = 0;
  // SEC_E_OK with credentials set, or an error (SEC_E_NO_CREDENTIALS, SEC_E_UNKNOWN_CREDENTIALS...).
  [[nodiscard]] virtual SECURITY_STATUS AcquireCredentials(const CredentialRequest& request,
                                                           std::shared_ptr<SecurityCredentials>& credentials) = 0;
  // A fresh context for the credentials (outbound: Initialize, inbound: Accept).
  [[nodiscard]] virtual SECURITY_STATUS CreateContext(const std::shared_ptr<SecurityCredentials>& credentials,
                                                      CredentialDirection direction,
                                                      std::unique_ptr<SecurityContext>& context) = 0;
};

using SecurityPackageFactory = std::unique_ptr<SecurityPackage> (*)();

// Adds a package (created once, on first use of the table). Factories run
// under the provider's lock: they must not call the function table.
void RegisterSecurityPackage(SecurityPackageFactory factory);

struct SecurityPackageRegistrar {
  explicit SecurityPackageRegistrar(SecurityPackageFactory factory) { RegisterSecurityPackage(factory); }
};

// The built-in TLS package (SecurityPackageTls.cpp), registered by the provider itself.
[[nodiscard]] std::unique_ptr<SecurityPackage> CreateTlsSecurityPackage();

// Memory the caller releases with FreeContextBuffer; zero-filled; null on failure.
[[nodiscard]] void* AllocateContextBuffer(std::size_t size);

}  // namespace plat
