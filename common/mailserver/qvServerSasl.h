// The SASL mechanisms a protocol server may offer (SMTP, POP3, IMAP4), and
// the one server-side engine of their CRAM-MD5 and NTLM exchanges. The
// engine decodes the client's lines, runs the NTLM context (which checks the
// password against the accounts the protocol finds), and says what the
// outcome is; the protocol supplies its prompt form ("334 ", "+ ") and its
// replies, its account look-up and its authenticate event. One exchange per
// connection, used by the thread that runs the connection's command. Step
// never raises for bad client input: it answers Aborted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

enum TqvServerSaslFlag : uint8_t { ssUseLogin, ssUseCramMD5, ssUseNTLM };
using TqvServerSaslFlags = uint8_t;
constexpr TqvServerSaslFlags SaslFlag(TqvServerSaslFlag AFlag) {
  return static_cast<TqvServerSaslFlags>(1u << AFlag);
}

// The mechanism named AName (ASCII letters in any case) when AOffered has it.
[[nodiscard]] std::optional<TqvServerSaslFlag> OfferedSaslMechanism(std::string_view AName,
                                                                    TqvServerSaslFlags AOffered);
// The name a server lists for AMechanism ("LOGIN", "CRAM-MD5", "NTLM").
[[nodiscard]] const char* SaslMechanismName(TqvServerSaslFlag AMechanism);

class TqvNtAuthServerSspi;

class TqvSaslServerExchange {
 public:
  // The password of the account named AUserName; false when there is no
  // account that may log in.
  using TPasswordLookup = std::function<bool(const std::string& AUserName, std::string& APassword)>;
  enum class TStatus { Continue, Complete, Aborted };

  // What a protocol gives the start of an exchange: the CRAM-MD5 challenge
  // text (asked for only by that mechanism), and the host name and password
  // look-up of NTLM.
  struct TStartInfo {
    std::function<std::string()> Challenge;
    std::string HostName;
    TPasswordLookup Passwords;
  };
  // The exchange of AMechanism (as OfferedSaslMechanism chose it); null for
  // LOGIN, whose prompts and checks are the protocol's own.
  [[nodiscard]] static std::unique_ptr<TqvSaslServerExchange> Start(TqvServerSaslFlag AMechanism,
                                                                    const TStartInfo& AInfo);
  // CRAM-MD5 over the challenge text the server sends (unencoded).
  [[nodiscard]] static std::unique_ptr<TqvSaslServerExchange> CramMd5(std::string AChallenge);
  // NTLM; AHostName is named in the server's token ("" = this machine).
  [[nodiscard]] static std::unique_ptr<TqvSaslServerExchange> Ntlm(const std::string& AHostName,
                                                                   TPasswordLookup APasswords);
  ~TqvSaslServerExchange();
  TqvSaslServerExchange(const TqvSaslServerExchange&) = delete;
  TqvSaslServerExchange& operator=(const TqvSaslServerExchange&) = delete;

  [[nodiscard]] TqvServerSaslFlag Mechanism() const { return FMechanism; }
  // The payload of the first prompt in base64: the challenge (CRAM-MD5), or
  // "" (NTLM waits for the client's first token).
  [[nodiscard]] std::string FirstChallenge() const;
  // One client line. Continue: NextChallenge() is the next prompt's base64
  // payload. Complete: UserName() is who answered. Aborted: "*", bad base64,
  // a malformed answer or a token the NTLM context refused.
  [[nodiscard]] TStatus Step(const std::string& ALine);
  [[nodiscard]] const std::string& NextChallenge() const { return FNext; }
  [[nodiscard]] const std::string& UserName() const { return FUserName; }

  // The login decision once Complete. AAccount is the protocol's account of
  // UserName() (null when none); AHook(Account, IsAuthorized, Handled) is its
  // authenticate event. NTLM has proved the password already, so an account
  // is enough and the hook may change that; CRAM-MD5 compares the digest with
  // the account's password after an unhandled hook (an empty password never
  // passes).
  template <class TAccount, class THook>
  [[nodiscard]] bool Authorize(TAccount*& AAccount, THook&& AHook) const {
    bool authorized = FMechanism == ssUseNTLM && AAccount != nullptr, handled = false;
    AHook(AAccount, authorized, handled);
    if (FMechanism != ssUseNTLM && !handled && AAccount) authorized = CheckDigest(AAccount->Password());
    return authorized;
  }
  [[nodiscard]] bool CheckDigest(const std::string& APassword) const;

 private:
  explicit TqvSaslServerExchange(TqvServerSaslFlag AMechanism);
  TStatus CramStep(const std::string& ALine);
  TStatus NtlmStep(const std::string& ALine);

  TqvServerSaslFlag FMechanism;
  std::string FChallenge;
  std::string FDigest;
  std::string FNext;
  std::string FUserName;
  std::unique_ptr<TqvNtAuthServerSspi> FNtlm;
};
