// The NTLM objects of the library over the provider's "NTLM" package:
// identity parsing, the token-stream contract of both sides, refusals as
// EqvSSPIError, and impersonation of the calling thread.
#include "qvSspiAuth.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "NtlmPackage.h"

namespace {

void Accounts(TqvNtAuthServerSspi& server) {
  server.OnGetPassword = [](TObject*, const std::string& user, const std::string&, std::string& password, bool& found) {
    found = user == "bob@example.test";
    if (found) password = "secret";
  };
}

std::string Contents(TMemoryStream& s) { return std::string(s.Memory(), static_cast<size_t>(s.Size())); }

// Client and server pass the tokens through one stream each way.
bool Login(TqvNtAuthServerSspi& server, const std::string& user, const std::string& password) {
  TqvNtAuthClientSspi client;
  TqvAuthIdentity id(user, password);
  TMemoryStream s;
  EXPECT_FALSE(client.GenerateToken("NTLM", s, &id, "mail.example.test"));
  EXPECT_EQ(s.Position(), 0);
  EXPECT_FALSE(server.AcceptToken("NTLM", s, nullptr));
  EXPECT_EQ(Contents(s).substr(0, 9), std::string("NTLMSSP\0\2", 9));
  EXPECT_TRUE(client.GenerateToken("NTLM", s, &id, "mail.example.test"));
  const std::string authenticate = Contents(s);
  const bool done = server.AcceptToken("NTLM", s, nullptr);
  EXPECT_EQ(Contents(s), authenticate);  // no reply token: the stream keeps its content
  return done;
}

}  // namespace

TEST(NtlmAuthIdentity, SplitsDomainAtBackslashOrSlash) {
  TqvAuthIdentity a("EXAMPLE\\bob", "pw"), b("EXAMPLE/bob", "pw"), c("bob@example.test", "");
  EXPECT_EQ(a.AccountDomain, "EXAMPLE");
  EXPECT_EQ(a.AccountName, "bob");
  EXPECT_EQ(b.AccountDomain, "EXAMPLE");
  EXPECT_EQ(b.AccountName, "bob");
  EXPECT_EQ(c.AccountDomain, "");
  EXPECT_EQ(c.AccountName, "bob@example.test");
  const auto* r = c.AuthIdentity();
  EXPECT_EQ(r->Domain, nullptr);
  EXPECT_EQ(r->Password, nullptr);
  EXPECT_EQ(r->UserLength, 16u);
  EXPECT_EQ(r->Flags, plat::SEC_WINNT_AUTH_IDENTITY_ANSI);
}

TEST(NtlmAuth, ServerCompletesForAnAccountAndImpersonatesIt) {
  auto server = std::make_unique<TqvNtAuthServerSspi>();
  Accounts(*server);
  EXPECT_THROW(server->Impersonate(), EqvSSPIError);
  ASSERT_TRUE(Login(*server, "bob@example.test", "secret"));
  const std::string self = plat::GetCurrentUserName();
  server->Impersonate();
  EXPECT_EQ(plat::GetCurrentUserName(), "bob@example.test");
  std::string other;
  std::thread([&] { other = plat::GetCurrentUserName(); }).join();
  EXPECT_EQ(other, self);  // only the calling thread is affected
  server->RevertToSelf();
  EXPECT_EQ(plat::GetCurrentUserName(), self);
  EXPECT_EQ(server->ImpersonatedUserName(), "bob@example.test");
  EXPECT_EQ(plat::GetCurrentUserName(), self);

  server->Impersonate();
  server.reset();  // a connection dropped mid-command must not leave its user behind
  EXPECT_EQ(plat::GetCurrentUserName(), self);
}

TEST(NtlmAuth, RefusalsRaiseWithTheStatus) {
  auto status = [](auto f) {
    try {
      f();
    } catch (const EqvSSPIError& e) {
      return std::make_pair(e.ErrorCode, e.Message());
    }
    return std::make_pair(0, std::string());
  };
  TqvNtAuthServerSspi wrong;
  Accounts(wrong);
  EXPECT_EQ(status([&] { (void)Login(wrong, "bob@example.test", "wrong"); }),
            std::make_pair(int(plat::SEC_E_LOGON_DENIED), std::string("The logon attempt failed")));

  TqvNtAuthServerSspi noAccounts;
  EXPECT_EQ(status([&] { (void)Login(noAccounts, "bob@example.test", "secret"); }).first, plat::SEC_E_LOGON_DENIED);

  TqvNtAuthServerSspi garbage;
  Accounts(garbage);
  TStringStream junk("NTLMSSP");
  EXPECT_EQ(status([&] { (void)garbage.AcceptToken("NTLM", junk, nullptr); }).first, plat::SEC_E_INVALID_TOKEN);

  TqvNtAuthClientSspi anonymous;
  uint32_t count = 0;
  plat::SecPkgInfoA* infos = nullptr;
  ASSERT_EQ(anonymous.FunctionTable().EnumerateSecurityPackagesA(&count, &infos), plat::SEC_E_OK);
  bool listed = false;
  for (uint32_t i = 0; i < count; ++i) listed |= std::strcmp(infos[i].Name, "NTLM") == 0;
  (void)anonymous.FunctionTable().FreeContextBuffer(infos);
  EXPECT_TRUE(listed);
  TMemoryStream s;
  EXPECT_EQ(status([&] { (void)anonymous.GenerateToken("NTLM", s, nullptr, "x"); }).first, plat::SEC_E_NO_CREDENTIALS);
}
