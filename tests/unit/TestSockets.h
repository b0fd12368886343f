// Loopback helpers shared by the socket tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "Sockets.h"

namespace testsupport {

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// The local port a socket is bound to.
inline uint16_t PortOf(plat::SOCKET s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  EXPECT_EQ(plat::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
  return ntohs(a.sin_port);
}

// A loopback port that was free a moment ago.
inline int FreePort() {
  plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  EXPECT_EQ(plat::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const int port = PortOf(s);
  plat::closesocket(s);
  return port;
}

// Starts a server on a free port, retrying when another process took it.
template <class TServer>
void StartOnFreePort(TServer& server) {
  for (int attempt = 0;; ++attempt) {
    server.SetPort(FreePort());
    try {
      server.Start();
      return;
    } catch (const std::exception&) {
      if (attempt == 5) throw;
    }
  }
}

}  // namespace testsupport
