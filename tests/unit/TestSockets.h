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

}  // namespace testsupport
