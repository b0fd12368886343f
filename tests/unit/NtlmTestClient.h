// The client side of a line protocol's NTLM exchange, for the server tests:
// once the server has sent its first prompt, sends the negotiate token,
// reads the "+ <challenge>" line and answers it. Returns the server's last
// line (its verdict). Any line client with Cmd (one line out, one line back).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "Streams.h"
#include "qvEncoder.h"
#include "qvSspiAuth.h"

namespace testsupport {

template <class TClient>
std::string NtlmExchange(TClient& AClient, const std::string& AUser, const std::string& APassword) {
  auto b64 = [](TMemoryStream& m) {
    const auto* p = reinterpret_cast<const uint8_t*>(m.Memory());
    return TqvEncoder::EncodeBytesToLine(TBytes(p, p + m.Size()), cmBase64);
  };
  TqvNtAuthClientSspi client;
  TqvAuthIdentity id(AUser, APassword);
  TMemoryStream s;
  (void)client.GenerateToken("NTLM", s, &id, "host");
  const std::string challenge = AClient.Cmd(b64(s));
  EXPECT_EQ(challenge.substr(0, 2), "+ ");
  const TBytes type2 = TqvEncoder::DecodeTextToBytes(challenge.substr(2), cmBase64);
  TMemoryStream s2;
  if (!type2.empty()) s2.WriteBuffer(type2.data(), static_cast<int64_t>(type2.size()));
  s2.SetPosition(0);
  (void)client.GenerateToken("NTLM", s2, &id, "host");
  return AClient.Cmd(b64(s2));
}

}  // namespace testsupport
