// Password authentication (the "NTLM" package) over the security provider:
// TqvNtAuthClientSspi generates the client's tokens, TqvNtAuthServerSspi
// accepts them. Tokens travel in a stream: the peer's token from the stream's
// position to its end on entry, the reply token (rewound) on exit; without a
// reply the stream keeps its content. An object serves one exchange and one
// connection's thread; it owns its credentials and context handles.
// Errors: every failing provider status raises EqvSSPIError with the status as
// ErrorCode (a refused logon: SEC_E_LOGON_DENIED; a malformed token:
// SEC_E_INVALID_TOKEN). The server asks OnGetPassword for account passwords;
// without a handler nobody can log in.
#pragma once

#include <functional>
#include <string>

#include "ClassCore.h"
#include "Streams.h"
#include "qvSspi.h"

// User, domain and password, and the provider's identity record built from
// them. "domain\user" and "domain/user" split into domain and user.
class TqvAuthIdentity : public TObject {
 public:
  TqvAuthIdentity(const std::string& AUser, const std::string& APassword);
  TqvAuthIdentity(const TqvAuthIdentity&) = delete;
  TqvAuthIdentity& operator=(const TqvAuthIdentity&) = delete;
  VX_CLASS_NAME("TqvAuthIdentity")

  std::string AccountName;
  std::string AccountDomain;
  std::string AccountPassword;

  // Rebuilt from the three texts on each call; valid until the next call or
  // the object's end.
  [[nodiscard]] const plat::SEC_WINNT_AUTH_IDENTITY_A* AuthIdentity();

 private:
  std::string FUser, FDomain, FPassword;
  plat::SEC_WINNT_AUTH_IDENTITY_A FRecord;
};

// Credentials and context shared by both sides; destroying the object deletes
// the context and frees the credentials.
class TqvNtAuthSspi : public TqvSspi {
 public:
  TqvNtAuthSspi() { plat::SecInvalidateHandle(&FCredentials); plat::SecInvalidateHandle(&FContext); }
  ~TqvNtAuthSspi() override;
  VX_CLASS_NAME("TqvNtAuthSspi")

 protected:
  // Drops any context and credentials, then acquires new ones.
  void AcquireCredentials(const std::string& APackage, uint32_t ADirection, const void* AAuthData);
  void ReleaseHandles();
  // Steps 3-6 shared by both sides: completes the token, raises on failure,
  // puts the reply into AToken. True when authentication is complete.
  bool FinishStep(plat::SECURITY_STATUS AStatus, plat::SecBufferDesc& AOutput, TStream& AToken);

  plat::CredHandle FCredentials;
  plat::CtxtHandle FContext;
};

// The server's password source: set AFound and APassword for a known account.
// Texts are in the process code page.
using TqvNtAuthGetPasswordEvent = std::function<void(TObject* Sender, const std::string& AUser,
                                                     const std::string& ADomain, std::string& APassword,
                                                     bool& AFound)>;

class TqvNtAuthServerSspi : public TqvNtAuthSspi {
 public:
  VX_CLASS_NAME("TqvNtAuthServerSspi")

  // One server step. Passwords come from OnGetPassword (called on this
  // thread, during AcceptToken); AIdentity is handed to the provider only when
  // no handler is set, and does not let anyone in.
  [[nodiscard]] bool AcceptToken(const std::string& APackage, TStream& AToken, TqvAuthIdentity* AIdentity);
  // The calling thread takes the client's identity (plat::GetCurrentUserName)
  // until RevertToSelf; both raise EqvSSPIError on failure.
  void Impersonate();
  void RevertToSelf();
  // Impersonate, read the thread's user name, RevertToSelf (also when the
  // reading fails): the name the servers look the account up by.
  [[nodiscard]] std::string ImpersonatedUserName();

  bool StartPending = true;
  TqvNtAuthGetPasswordEvent OnGetPassword;
  std::string HostName;  // named in the challenge; "" = this machine's name
};

class TqvNtAuthClientSspi : public TqvNtAuthSspi {
 public:
  VX_CLASS_NAME("TqvNtAuthClientSspi")

  // One client step; an empty remainder in AToken starts a new exchange.
  // Without an identity there are no credentials (EqvSSPIError).
  [[nodiscard]] bool GenerateToken(const std::string& APackage, TStream& AToken, TqvAuthIdentity* AIdentity,
                                   const std::string& ATargetName);
};
