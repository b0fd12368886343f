// Named limits of the platform stand-ins: what they read or accept from a
// file or a peer before they allocate for it. A larger input is refused with
// the interface's own error (a bad-data status, an empty result), never cut.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// Certificate and key files (PEM, DER, PKCS #12) read into memory.
constexpr std::size_t kMaxCertFileSize = 1 << 20;
// RSA keys generated, imported or exported.
constexpr std::uint32_t kMaxKeyBits = 16384;
// The resolver configuration ("/etc/resolv.conf" or its stand-in): a few lines.
constexpr std::size_t kMaxResolverConfigSize = 1 << 20;
// Each NTLM user, domain, workstation and password, in characters.
constexpr std::size_t kMaxNtlmNameChars = 1024;
// An INI file read whole; a larger one reads as unreadable.
constexpr std::size_t kMaxIniFileSize = 16u * 1024 * 1024;
// A service name: leaves room for the registration's suffixes within NAME_MAX.
constexpr std::size_t kMaxServiceName = 200;
// A service's last error text or display name, as stored on one line.
constexpr std::size_t kMaxErrorText = 2000;
// Arguments one StartService passes to the program.
constexpr std::uint32_t kMaxServiceArgs = 64;
// The ciphertext of one TLS record a peer may send: TLS 1.3 allows 2^14 + 256,
// TLS 1.2 2^14 + 2048.
constexpr std::uint32_t kMaxTlsRecordBody = 16384 + 2048;

}  // namespace plat
