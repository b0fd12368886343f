// curl's own NTLM client against our server engine, over a loopback HTTP
// exchange: what a real client sends must authenticate (and a wrong password
// must not).
#include "NtlmEngine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

using namespace plat::ntlm;

namespace {

std::string B64(const Bytes& b) {
  std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
  out.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(), static_cast<int>(b.size())));
  return out;
}

Bytes UnB64(const std::string& s) {
  Bytes out(s.size());
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
  if (n < 0) return {};
  size_t len = static_cast<size_t>(n);
  for (size_t i = s.size(); i > 0 && s[i - 1] == '='; --i) --len;  // DecodeBlock keeps pad bytes
  out.resize(len);
  return out;
}

struct Seen {
  NtlmStatus Last = NtlmStatus::OutOfSequence;
  uint32_t OfferedFlags = 0;
  size_t NtResponseSize = 0;
  std::u16string User;
};

// Serves one connection: 401 + challenge, then 200 or 401 on the AUTHENTICATE.
void ServeOne(int listener, Seen& seen) {
  const int c = ::accept(listener, nullptr, nullptr);
  if (c < 0) return;
  timeval tv{10, 0};
  ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  NtlmServerOptions o;
  o.Lookup = [](const std::u16string& u, const std::u16string&) -> std::optional<std::u16string> {
    if (u == u"bob@example.test") return u"secret";
    return std::nullopt;
  };
  NtlmServerContext server(o);
  std::string buf;
  for (;;) {
    size_t end;
    while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
      char tmp[4096];
      const ssize_t n = ::read(c, tmp, sizeof tmp);
      if (n <= 0) {
        ::close(c);
        return;
      }
      buf.append(tmp, static_cast<size_t>(n));
    }
    const std::string head = buf.substr(0, end);
    buf.erase(0, end + 4);
    const std::string key = "Authorization: NTLM ";
    const size_t at = head.find(key);
    std::string reply = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n";
    bool done = false;
    if (at != std::string::npos) {
      const size_t eol = head.find("\r\n", at);
      const Bytes token = UnB64(head.substr(at + key.size(), eol == std::string::npos ? std::string::npos : eol - at - key.size()));
      if (token.size() >= 16 && token[8] == 1) seen.OfferedFlags = token[12] | token[13] << 8 | token[14] << 16 | uint32_t(token[15]) << 24;
      if (token.size() >= 24 && token[8] == 3) seen.NtResponseSize = token[20] | token[21] << 8;
      Bytes out;
      seen.Last = server.Accept(token, out);
      if (seen.Last == NtlmStatus::Continue) {
        reply = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: NTLM " + B64(out) + "\r\nContent-Length: 0\r\n\r\n";
      } else {
        done = true;
        if (seen.Last == NtlmStatus::Complete) {
          seen.User = server.UserName();
          reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        } else {
          reply = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        }
      }
    }
    if (::write(c, reply.data(), reply.size()) < 0 || done) break;
  }
  ::close(c);
}

std::string CurlNtlm(uint16_t port, const std::string& credentials) {
  const std::string cmd = "curl -s -o /dev/null --max-time 10 -w '%{http_code}' --ntlm -u '" + credentials +
                          "' http://127.0.0.1:" + std::to_string(port) + "/ 2>/dev/null";
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char b[64];
    while (std::fgets(b, sizeof b, p)) out += b;
    ::pclose(p);
  }
  return out;
}

}  // namespace

TEST(NtlmCurl, CurlsNtlmV2LogsInAndAWrongPasswordDoesNot) {
  if (std::system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  const int l = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(l, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(l, 4), 0);
  socklen_t len = sizeof a;
  ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  const uint16_t port = ntohs(a.sin_port);

  Seen good;
  std::thread t1(ServeOne, l, std::ref(good));
  EXPECT_EQ(CurlNtlm(port, "bob@example.test:secret"), "200");
  t1.join();
  EXPECT_EQ(good.Last, NtlmStatus::Complete);
  EXPECT_EQ(good.User, u"bob@example.test");
  EXPECT_GT(good.NtResponseSize, 24u);  // an NTLMv2 response, not v1
  EXPECT_NE(good.OfferedFlags & NEGOTIATE_EXTENDED_SESSIONSECURITY, 0u);

  Seen bad;
  std::thread t2(ServeOne, l, std::ref(bad));
  EXPECT_EQ(CurlNtlm(port, "bob@example.test:wrong"), "401");
  t2.join();
  EXPECT_EQ(bad.Last, NtlmStatus::LogonDenied);
  ::close(l);
}
