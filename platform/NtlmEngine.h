// NTLM authentication messages (NEGOTIATE, CHALLENGE, AUTHENTICATE), server and
// client side, on plain byte tokens. Names and passwords are UTF-16; the caller
// converts from its own charset. A context serves one exchange and belongs to
// one thread. Every failure is a status; only std::bad_alloc, and
// std::runtime_error when the system has no random source, are raised.
// Server policy: only NTLMv2 and NTLM2-session (extended session security)
// responses of a known user with a non-empty password complete; anonymous,
// LM-only and NTLMv1 responses are denied. Every length and offset the peer
// sends is checked against the token, which is bounded by kMaxTokenSize.
#pragma once

#include "NtlmCrypto.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace plat::ntlm {

constexpr size_t kMaxTokenSize = 64 * 1024;

// Negotiate flags (the names are the protocol's).
constexpr uint32_t NEGOTIATE_UNICODE = 0x00000001;
constexpr uint32_t NEGOTIATE_OEM = 0x00000002;
constexpr uint32_t REQUEST_TARGET = 0x00000004;
constexpr uint32_t NEGOTIATE_SIGN = 0x00000010;
constexpr uint32_t NEGOTIATE_SEAL = 0x00000020;
constexpr uint32_t NEGOTIATE_LM_KEY = 0x00000080;
constexpr uint32_t NEGOTIATE_NTLM = 0x00000200;
constexpr uint32_t NEGOTIATE_ALWAYS_SIGN = 0x00008000;
constexpr uint32_t TARGET_TYPE_DOMAIN = 0x00010000;
constexpr uint32_t TARGET_TYPE_SERVER = 0x00020000;
constexpr uint32_t NEGOTIATE_EXTENDED_SESSIONSECURITY = 0x00080000;
constexpr uint32_t NEGOTIATE_TARGET_INFO = 0x00800000;
constexpr uint32_t NEGOTIATE_VERSION = 0x02000000;
constexpr uint32_t NEGOTIATE_128 = 0x20000000;
constexpr uint32_t NEGOTIATE_KEY_EXCH = 0x40000000;
constexpr uint32_t NEGOTIATE_56 = 0x80000000;

enum class NtlmStatus {
  Complete,      // authenticated (server) or last token built (client)
  Continue,      // send the output token and wait for the peer's next one
  InvalidToken,  // malformed, truncated or oversized input
  LogonDenied,   // well-formed, but the identity or response is refused
  OutOfSequence  // the context has finished or failed already
};

// Password of an account: nullopt when there is no such user.
using NtlmPasswordLookup =
    std::function<std::optional<std::u16string>(const std::u16string& user, const std::u16string& domain)>;

struct NtlmServerOptions {
  std::u16string NbComputerName = u"SERVER";
  std::u16string NbDomainName = u"WORKGROUP";
  std::u16string DnsComputerName;
  std::u16string DnsDomainName;
  NtlmPasswordLookup Lookup;
  // Known-answer tests only: fixed challenge and timestamp instead of fresh ones.
  std::optional<std::array<uint8_t, 8>> FixedChallenge;
  std::optional<uint64_t> FixedTimestamp;
};

class NtlmServerContext {
 public:
  explicit NtlmServerContext(NtlmServerOptions options);
  ~NtlmServerContext();
  NtlmServerContext(const NtlmServerContext&) = delete;
  NtlmServerContext& operator=(const NtlmServerContext&) = delete;

  // NEGOTIATE gives Continue and a CHALLENGE in out; AUTHENTICATE gives
  // Complete (out empty) or LogonDenied. Any failure ends the context; once
  // ended, every call gives OutOfSequence and the outcome stays.
  [[nodiscard]] NtlmStatus Accept(ByteView in, Bytes& out);

  bool Completed() const { return FState == State::Done; }
  // The authenticated identity, valid once Completed().
  const std::u16string& UserName() const { return FUser; }
  const std::u16string& Domain() const { return FDomain; }
  const std::u16string& Workstation() const { return FWorkstation; }
  uint32_t NegotiatedFlags() const { return FFlags; }
  const Digest16& SessionKey() const { return FSessionKey; }

 private:
  enum class State { WaitNegotiate, WaitAuthenticate, Done, Failed };
  NtlmStatus OnNegotiate(ByteView in, Bytes& out);
  NtlmStatus OnAuthenticate(ByteView in);

  NtlmServerOptions FOptions;
  State FState = State::WaitNegotiate;
  uint32_t FFlags = 0;
  std::array<uint8_t, 8> FChallenge{};
  Bytes FNegotiateMsg;
  Bytes FChallengeMsg;
  std::u16string FUser, FDomain, FWorkstation;
  Digest16 FSessionKey{};
};

// What our client offers: Unicode or 8-bit strings, extended session security,
// key exchange, 128/56-bit keys.
constexpr uint32_t kDefaultClientFlags = NEGOTIATE_UNICODE | NEGOTIATE_OEM | REQUEST_TARGET | NEGOTIATE_NTLM |
                                         NEGOTIATE_ALWAYS_SIGN | NEGOTIATE_EXTENDED_SESSIONSECURITY |
                                         NEGOTIATE_VERSION | NEGOTIATE_128 | NEGOTIATE_KEY_EXCH | NEGOTIATE_56;

struct NtlmClientOptions {
  std::u16string User;
  std::u16string Domain;
  std::u16string Password;
  std::u16string Workstation;
  // Known-answer tests only: fixed values instead of fresh random ones.
  std::optional<std::array<uint8_t, 8>> FixedClientChallenge;
  std::optional<uint64_t> FixedTimestamp;
  std::optional<Digest16> FixedSessionKey;
  uint32_t Flags = kDefaultClientFlags;  // offered in the NEGOTIATE
};

class NtlmClientContext {
 public:
  explicit NtlmClientContext(NtlmClientOptions options);
  ~NtlmClientContext();
  NtlmClientContext(const NtlmClientContext&) = delete;
  NtlmClientContext& operator=(const NtlmClientContext&) = delete;

  // Empty in (first call): Continue with a NEGOTIATE. Then the CHALLENGE:
  // Complete with an NTLMv2 AUTHENTICATE in out.
  [[nodiscard]] NtlmStatus Step(ByteView in, Bytes& out);

  const Digest16& SessionKey() const { return FSessionKey; }

 private:
  enum class State { Start, WaitChallenge, Done, Failed };
  NtlmStatus BuildAuthenticate(ByteView challenge, Bytes& out);

  NtlmClientOptions FOptions;
  State FState = State::Start;
  Bytes FNegotiateMsg;
  Digest16 FSessionKey{};
};

// The one-way functions, exposed for known-answer tests.
[[nodiscard]] Digest16 NtOwfV1(const std::u16string& password);
[[nodiscard]] Digest16 NtOwfV2(const std::u16string& password, const std::u16string& user,
                               const std::u16string& domain);
// UTF-16LE bytes of a text.
[[nodiscard]] Bytes Utf16Le(const std::u16string& text);
// Current time as a Windows FILETIME (100 ns units since 1601).
[[nodiscard]] uint64_t FileTimeNow();

}  // namespace plat::ntlm
