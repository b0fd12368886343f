// Named limits of the foundation layer: what its parsers and loaders accept
// from a peer or a file before they allocate or loop for it. Beyond a limit
// the unit raises its own error (invalid datagram, field too long, file too
// large); nothing is cut silently.
#pragma once

#include <cstddef>

// A certificate or key file loaded by TqvCertificate.
constexpr size_t qvMaxCertificateFileBytes = 1 << 20;
// Compression pointers one DNS name may follow; the name-length cap stops
// any loop earlier.
constexpr int qvMaxDnsPointerHops = 128;
// A SOCKS user name, password or host name: the protocol's one-byte length.
constexpr size_t qvMaxSocksFieldBytes = 255;
