// A fake DNS server for unit tests: a thread on a loopback address (port 0
// picks a free one) that records every query datagram and answers through a
// handler. The handler returns the datagrams to send back (none: silence);
// each may come from the server's own socket or from a stranger's. Reply
// helpers build answers with the library's own message writer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Streams.h"
#include "qvDnsMessage.h"

namespace testsupport {

struct TDnsDatagram {
  std::string Bytes;
  bool FromStranger = false;  // sent from another port of the same address
};

using TDnsHandler = std::function<std::vector<TDnsDatagram>(const std::string& AQuery)>;

class TFakeDnsServer {
 public:
  explicit TFakeDnsServer(TDnsHandler AHandler, const std::string& AAddress = "127.0.0.1", int APort = 0)
      : FHandler(std::move(AHandler)) {
    FSocket = APort != 0 ? Bound(AAddress, APort) : BoundFreeForTcp(AAddress);
    FStranger = Bound(AAddress, 0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TFakeDnsServer() {
    FStop = true;
    FThread.join();
    ::close(FSocket);
    ::close(FStranger);
  }
  TFakeDnsServer(const TFakeDnsServer&) = delete;
  TFakeDnsServer& operator=(const TFakeDnsServer&) = delete;

  int Port() const { return FPort; }
  std::vector<std::string> Queries() const {
    std::scoped_lock lock(FLock);
    return FQueries;
  }

 private:
  static int Bound(const std::string& AAddress, int APort) {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(APort));
    ::inet_pton(AF_INET, AAddress.c_str(), &a.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind " << AAddress;
    return s;
  }

  // A port picked by the kernel for UDP may be held on the TCP side (a busy
  // machine has thousands of loopback connections in TIME_WAIT); the TCP half
  // of a fake name server binds the same number, so only a port free for both
  // is taken.
  static int BoundFreeForTcp(const std::string& AAddress) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      const int s = Bound(AAddress, 0);
      sockaddr_in a{};
      socklen_t len = sizeof a;
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
      const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
      const int on = 1;
      ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(probe);
      if (free) return s;
      ::close(s);
    }
    ADD_FAILURE() << "no port free for UDP and TCP on " << AAddress;
    return Bound(AAddress, 0);
  }

  void Run() {
    while (!FStop) {
      pollfd p{FSocket, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[2048];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(FSocket, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      const std::string query(buf, static_cast<size_t>(n));
      {
        std::scoped_lock lock(FLock);
        FQueries.push_back(query);
      }
      for (const TDnsDatagram& d : FHandler(query))
        ::sendto(d.FromStranger ? FStranger : FSocket, d.Bytes.data(), d.Bytes.size(), 0,
                 reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  TDnsHandler FHandler;
  int FSocket = -1;
  int FStranger = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  mutable std::mutex FLock;
  std::vector<std::string> FQueries;
  std::thread FThread;
};

// The TCP side of a name server (length-prefixed messages) on AAddress:APort:
// each query read is answered with what AHandler returns for it.
class TFakeDnsTcpServer {
 public:
  TFakeDnsTcpServer(std::function<std::string(const std::string& AQuery)> AHandler, const std::string& AAddress,
                    int APort)
      : FHandler(std::move(AHandler)) {
    FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(FSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(APort));
    ::inet_pton(AF_INET, AAddress.c_str(), &a.sin_addr);
    if (::bind(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FSocket, 4) != 0)
      ADD_FAILURE() << "tcp bind " << AAddress;
    FThread = std::thread([this] { Run(); });
  }
  ~TFakeDnsTcpServer() {
    FStop = true;
    FThread.join();
    ::close(FSocket);
  }
  TFakeDnsTcpServer(const TFakeDnsTcpServer&) = delete;
  TFakeDnsTcpServer& operator=(const TFakeDnsTcpServer&) = delete;
  int Queries() const { return FQueries; }

 private:
  static bool ReadAll(int AFd, std::string& AOut, size_t ACount) {
    AOut.resize(ACount);
    for (size_t got = 0; got < ACount;) {
      const ssize_t n = ::recv(AFd, AOut.data() + got, ACount - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }
  void Run() {
    while (!FStop) {
      pollfd p{FSocket, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int c = ::accept(FSocket, nullptr, nullptr);
      if (c < 0) continue;
      std::string length, query;
      if (ReadAll(c, length, 2) &&
          ReadAll(c, query, (static_cast<uint8_t>(length[0]) << 8) | static_cast<uint8_t>(length[1]))) {
        ++FQueries;
        const std::string reply = FHandler(query);
        const std::string framed = std::string{static_cast<char>(reply.size() >> 8), static_cast<char>(reply.size())} + reply;
        if (!reply.empty()) (void)::send(c, framed.data(), framed.size(), MSG_NOSIGNAL);
      }
      ::close(c);
    }
  }
  std::function<std::string(const std::string&)> FHandler;
  int FSocket = -1;
  std::atomic<bool> FStop{false};
  std::atomic<int> FQueries{0};
  std::thread FThread;
};

// A reply to AQuery: its ID and question, RCODE, and the records that
// AFill adds to the message.
inline std::string DnsReply(const std::string& AQuery, const std::function<void(TqvDnsMessage&)>& AFill,
                            int AResponseCode = 0) {
  TqvDnsMessage q;
  try {
    q.Parse(AQuery);
  } catch (const EqvDnsError&) {
  }
  TqvDnsMessage m;
  m.Header.ID = q.Header.ID;
  m.Header.IsQuery = false;
  m.Header.IsRecursionDesired = q.Header.IsRecursionDesired;
  m.Header.ResponseCode = AResponseCode;
  m.Queries.Assign(q.Queries);
  if (AFill) AFill(m);
  TStringStream out;
  m.Build(out);
  return out.DataString();
}

template <class TRecord>
TRecord& AddRecord(TqvDnsRecordList& AList, const std::string& AName) {
  auto r = std::make_unique<TRecord>();
  r->Name = AName;
  r->TTL = 60;
  return static_cast<TRecord&>(*AList.Add(std::move(r)));
}

inline void AddMX(TqvDnsMessage& M, const std::string& AOwner, int APreference, const std::string& AHost) {
  auto& mx = AddRecord<TqvDnsMXRecord>(M.Answers, AOwner);
  mx.Preference = static_cast<uint16_t>(APreference);
  mx.MailServer = AHost;
}

inline void AddA(TqvDnsRecordList& AList, const std::string& AOwner, const std::string& AAddress) {
  AddRecord<TqvDnsARecord>(AList, AOwner).IPAddress = AAddress;
}

// The name of the question in a query datagram.
inline std::string QueryName(const std::string& AQuery) {
  TqvDnsMessage q;
  q.Parse(AQuery);
  return q.Queries.Count() > 0 ? q.Queries.Items(0)->Name : std::string();
}

}  // namespace testsupport
