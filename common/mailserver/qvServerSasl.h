// The SASL mechanisms a protocol server may offer (SMTP, POP3, IMAP4), as a
// set: bit n is flag n. Plain values, no state.
#pragma once

#include <cstdint>

enum TqvServerSaslFlag : uint8_t { ssUseLogin, ssUseCramMD5, ssUseNTLM };
using TqvServerSaslFlags = uint8_t;
constexpr TqvServerSaslFlags SaslFlag(TqvServerSaslFlag AFlag) {
  return static_cast<TqvServerSaslFlags>(1u << AFlag);
}
