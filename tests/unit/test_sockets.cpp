#include <gtest/gtest.h>

#include "TestSockets.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "MessageLoop.h"
#include "Sockets.h"

using namespace std::chrono_literals;
using plat::SOCKET;

namespace {

void OnFreshThread(const std::function<void()>& body) { std::thread(body).join(); }

struct Pair {
  SOCKET s[2] = {plat::INVALID_SOCKET, plat::INVALID_SOCKET};
  Pair() { EXPECT_EQ(plat::socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0); }
  ~Pair() {
    for (SOCKET x : s) {
      if (x >= 0) (void)plat::closesocket(x);
    }
  }
  void CloseEnd(int i) {
    (void)plat::closesocket(s[i]);
    s[i] = plat::INVALID_SOCKET;
  }
};

using testsupport::Loopback;
using testsupport::PortOf;

// A TCP socket bound to a loopback port, listening or not.
SOCKET Bound(bool listening) {
  SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  EXPECT_EQ(plat::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  if (listening) {
    EXPECT_EQ(plat::listen(s, 16), 0);
  }
  return s;
}

// The wait, past whatever other tests left in this thread's queue.
plat::TWaitResult Wait(plat::TSocketEvent& ev, int ms) {
  const uint64_t end = plat::GetTickCount64() + ms;
  for (;;) {
    const uint64_t now = plat::GetTickCount64();
    auto r = plat::WaitForSocketEvent(&ev, nullptr, now >= end ? 0 : static_cast<int>(end - now));
    if (r != plat::TWaitResult::Messages) return r;
  }
}

plat::WSANETWORKEVENTS Enum(SOCKET s, plat::TSocketEvent& ev) {
  plat::WSANETWORKEVENTS ne;
  EXPECT_EQ(plat::WSAEnumNetworkEvents(s, &ev, &ne), 0);
  return ne;
}

}  // namespace

TEST(SocketsErrors, ErrnoAndResolverResultsMapToPlatformNumbers) {
  const std::pair<int, uint32_t> errnos[] = {
      {ECONNREFUSED, 10061}, {EADDRINUSE, 10048}, {EAGAIN, 10035},    {EINPROGRESS, 10035},
      {EBADF, 10038},        {ENOTSOCK, 10038},   {ECONNRESET, 10054}, {EPIPE, 10054},
      {ECONNABORTED, 10053}, {ETIMEDOUT, 10060},  {EACCES, 10013},    {EMSGSIZE, 10040}};
  for (auto [e, code] : errnos) EXPECT_EQ(plat::MapErrnoToWsa(e), code) << e;
  const std::pair<int, uint32_t> gai[] = {
      {EAI_NONAME, 11001}, {EAI_AGAIN, 11002}, {EAI_FAIL, 11003}, {EAI_FAMILY, 10047}};
  for (auto [r, code] : gai) EXPECT_EQ(plat::MapGaiToWsa(r), code) << r;
  EXPECT_EQ(plat::SysErrorMessage(10061),
            "No connection could be made because the target machine actively refused it.");
  EXPECT_EQ(plat::SysErrorMessage(10035),
            "A non-blocking socket operation could not be completed immediately.");
  EXPECT_EQ(plat::SysErrorMessage(11001), "No such host is known.");
}

TEST(SocketsErrors, CallsLeaveThePlatformNumberAsLastError) {
  SOCKET idle = Bound(false);  // bound, not listening: connects are refused
  SOCKET c = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(PortOf(idle));
  EXPECT_EQ(plat::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), 10061u);

  SOCKET l = Bound(true);
  SOCKET l2 = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in same = Loopback(PortOf(l));
  EXPECT_EQ(plat::bind(l2, reinterpret_cast<sockaddr*>(&same), sizeof same), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), 10048u);  // reuse-address never lets two listeners share

  char b;
  EXPECT_EQ(plat::recv(c, &b, 1, 0), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), 10057u);
  for (SOCKET s : {idle, c, l, l2}) EXPECT_EQ(plat::closesocket(s), 0);
  EXPECT_EQ(plat::recv(c, &b, 1, 0), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), 10038u);

  addrinfo hints{};
  hints.ai_family = 99;
  addrinfo* res = nullptr;
  int r = plat::getaddrinfo("127.0.0.1", nullptr, &hints, &res);
  EXPECT_EQ(r, 10047);  // the raw resolver result is negative and would read as a library code
}

TEST(SocketsErrors, OversizedDatagramFailsWithMessageSize) {
  SOCKET s[2];
  ASSERT_EQ(plat::socketpair(AF_UNIX, SOCK_DGRAM, 0, s), 0);
  ASSERT_EQ(plat::send(s[0], "0123456789", 10, 0), 10);
  char buf[4];
  EXPECT_EQ(plat::recvfrom(s[1], buf, sizeof buf, 0, nullptr, nullptr), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), 10040u);
  for (SOCKET x : s) EXPECT_EQ(plat::closesocket(x), 0);
}

TEST(SocketsEventSelect, ReadIsReportedOnceUntilTheNextRecv) {
  Pair p;
  plat::TSocketEvent ev;
  ASSERT_EQ(plat::WSAEventSelect(p.s[0], &ev, plat::FD_READ | plat::FD_CLOSE), 0);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, 0);
  ASSERT_EQ(plat::send(p.s[1], "ab", 2, 0), 2);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, plat::FD_READ);
  ASSERT_EQ(plat::send(p.s[1], "cd", 2, 0), 2);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, 0) << "read must wait for a recv";
  char buf[2];
  ASSERT_EQ(plat::recv(p.s[0], buf, 2, 0), 2);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, plat::FD_READ) << "data remain after the recv";
}

TEST(SocketsEventSelect, CloseComesOnceAndOnlyAfterTheDataAreDrained) {
  Pair p;
  plat::TSocketEvent ev;
  ASSERT_EQ(plat::WSAEventSelect(p.s[0], &ev, plat::FD_READ | plat::FD_CLOSE), 0);
  ASSERT_EQ(plat::send(p.s[1], "abc", 3, 0), 3);
  p.CloseEnd(1);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, plat::FD_READ);
  EXPECT_EQ(Wait(ev, 50), plat::TWaitResult::Timeout)
      << "no close while data wait unread";
  char buf[8];
  ASSERT_EQ(plat::recv(p.s[0], buf, sizeof buf, 0), 3);
  plat::WSANETWORKEVENTS ne = Enum(p.s[0], ev);
  EXPECT_EQ(ne.lNetworkEvents, plat::FD_CLOSE);
  EXPECT_EQ(ne.iErrorCode[plat::FD_CLOSE_BIT], 0u);
  ASSERT_EQ(plat::recv(p.s[0], buf, sizeof buf, 0), 0);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, 0);
  EXPECT_EQ(Wait(ev, 50), plat::TWaitResult::Timeout);
}

TEST(SocketsEventSelect, WriteComesAgainOnlyAfterASendWouldBlock) {
  Pair p;
  int small = 4096;
  ASSERT_EQ(plat::setsockopt(p.s[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  plat::TSocketEvent ev;
  ASSERT_EQ(plat::WSAEventSelect(p.s[0], &ev, plat::FD_WRITE | plat::FD_CLOSE), 0);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, plat::FD_WRITE);
  ASSERT_EQ(plat::send(p.s[0], "x", 1, 0), 1);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, 0);
  std::vector<char> chunk(4096, 'y');
  int n = 0;
  while ((n = plat::send(p.s[0], chunk.data(), static_cast<int>(chunk.size()), 0)) > 0) {
  }
  ASSERT_EQ(plat::WSAGetLastError(), 10035u);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, 0) << "still full";
  std::thread reader([&] {
    char buf[65536];
    for (int i = 0; i < 200 && plat::recv(p.s[1], buf, sizeof buf, MSG_DONTWAIT) != 0; ++i)
      std::this_thread::sleep_for(1ms);
  });
  EXPECT_EQ(Wait(ev, 2000), plat::TWaitResult::Event);
  EXPECT_EQ(Enum(p.s[0], ev).lNetworkEvents, plat::FD_WRITE);
  reader.join();
}

TEST(SocketsEventSelect, ConnectIsReportedOnceWithItsError) {
  SOCKET l = Bound(true), idle = Bound(false);
  for (auto [target, want] : {std::pair{l, 0u}, std::pair{idle, 10061u}}) {
    SOCKET c = plat::socket(AF_INET, SOCK_STREAM, 0);
    plat::TSocketEvent ev;
    ASSERT_EQ(plat::WSAEventSelect(c, &ev, plat::FD_CONNECT), 0);
    sockaddr_in a = Loopback(PortOf(target));
    if (plat::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      EXPECT_EQ(plat::WSAGetLastError(), 10035u);
    }
    EXPECT_EQ(Wait(ev, 2000), plat::TWaitResult::Event);
    plat::WSANETWORKEVENTS ne = Enum(c, ev);
    EXPECT_EQ(ne.lNetworkEvents, plat::FD_CONNECT);
    EXPECT_EQ(ne.iErrorCode[plat::FD_CONNECT_BIT], want);
    EXPECT_EQ(Enum(c, ev).lNetworkEvents, 0);
    EXPECT_EQ(plat::closesocket(c), 0);
  }
  EXPECT_EQ(plat::closesocket(l), 0);
  EXPECT_EQ(plat::closesocket(idle), 0);
}

TEST(SocketsEventSelect, ResetClosesAtOnceWithItsError) {
  SOCKET l = Bound(true);
  SOCKET c = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(PortOf(l));
  ASSERT_EQ(plat::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  SOCKET s = plat::accept(l, nullptr, nullptr);
  ASSERT_NE(s, plat::INVALID_SOCKET);
  plat::TSocketEvent ev;
  ASSERT_EQ(plat::WSAEventSelect(s, &ev, plat::FD_READ | plat::FD_CLOSE), 0);
  linger hard{1, 0};
  ASSERT_EQ(plat::setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  ASSERT_EQ(plat::closesocket(c), 0);
  EXPECT_EQ(Wait(ev, 2000), plat::TWaitResult::Event);
  plat::WSANETWORKEVENTS ne = Enum(s, ev);
  EXPECT_EQ(ne.lNetworkEvents, plat::FD_CLOSE);
  EXPECT_EQ(ne.iErrorCode[plat::FD_CLOSE_BIT], 10054u);
  EXPECT_EQ(Wait(ev, 30), plat::TWaitResult::Timeout)
      << "a hung-up socket does not keep waking the wait";
  EXPECT_EQ(plat::closesocket(s), 0);
  EXPECT_EQ(plat::closesocket(l), 0);
}

TEST(SocketsWait, EndsOnAPostedMessageATimerOrTheInterrupt) {
  OnFreshThread([] {
    Pair p;
    plat::TSocketEvent ev;
    ASSERT_EQ(plat::WSAEventSelect(p.s[0], &ev, plat::FD_READ), 0);
    plat::TWaitEvent interrupt;
    std::vector<uint32_t> seen;
    plat::TMessageWindow w([&](plat::TMessage& m) { seen.push_back(m.Msg); });
    const plat::HWND h = w.Handle();

    std::thread poster([h] {
      std::this_thread::sleep_for(30ms);
      plat::PostMessage(h, plat::WM_USER + 1, 0, 0);
    });
    EXPECT_EQ(plat::WaitForSocketEvent(&ev, &interrupt, 5000), plat::TWaitResult::Messages);
    poster.join();
    EXPECT_EQ(seen, std::vector<uint32_t>{plat::WM_USER + 1}) << "dispatched by the wait";

    // Setting a timer may wake the queue before it is due; callers loop.
    ASSERT_TRUE(plat::SetTimer(h, 1, 20));
    for (int i = 0; i < 5 && seen.back() != plat::WM_TIMER; ++i)
      EXPECT_EQ(plat::WaitForSocketEvent(&ev, &interrupt, 5000), plat::TWaitResult::Messages);
    ASSERT_TRUE(plat::KillTimer(h, 1));
    EXPECT_EQ(seen.back(), plat::WM_TIMER);

    std::thread other([&] {
      std::this_thread::sleep_for(30ms);
      interrupt.Set();
    });
    EXPECT_EQ(plat::WaitForSocketEvent(&ev, &interrupt, 5000), plat::TWaitResult::Interrupt);
    other.join();
    const uint64_t start = plat::GetTickCount64();
    EXPECT_EQ(plat::WaitForSocketEvent(&ev, &interrupt, 60), plat::TWaitResult::Timeout)
        << "the interrupt resets itself";
    EXPECT_GE(plat::GetTickCount64() - start, 59u);

    // An interrupt set before anything ever waited on it is not lost, from
    // whichever thread sets it first.
    plat::TWaitEvent early;
    std::thread setter([&] { early.Set(); });
    setter.join();
    EXPECT_EQ(plat::WaitForSocketEvent(&ev, &early, 5000), plat::TWaitResult::Interrupt);
    plat::TWaitEvent manual(true);
    EXPECT_FALSE(manual.IsSet());
    manual.Set();
    EXPECT_TRUE(manual.IsSet());
    EXPECT_TRUE(manual.IsSet()) << "a manual-reset event stays set";
  });
}

namespace {
struct Delivered {
  uint64_t handle;
  long event;
  uint32_t error;
};
}  // namespace

TEST(SocketsAsyncSelect, AcceptReadAndCloseArriveAsMessages) {
  OnFreshThread([] {
    std::vector<Delivered> got;
    std::vector<bool> current;  // IsSocketEventCurrent of each, at delivery
    plat::TMessageWindow w([&](plat::TMessage& m) {
      if (m.Msg != plat::WM_SOCKET_EVENT) return;
      got.push_back({m.WParam, plat::WSAGETSELECTEVENT(m.LParam), plat::WSAGETSELECTERROR(m.LParam)});
      current.push_back(plat::IsSocketEventCurrent(m));
    });
    auto& q = plat::TMessageQueue::Current();
    auto pumpFor = [&](int ms) {
      const uint64_t end = plat::GetTickCount64() + ms;
      while (plat::GetTickCount64() < end) q.ProcessMessages(5);
    };
    auto count = [&](long e) {
      int n = 0;
      for (const Delivered& d : got) n += d.event == e;
      return n;
    };

    SOCKET l = plat::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    ASSERT_EQ(plat::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(plat::WSAAsyncSelect(l, w.Handle(), plat::WM_SOCKET_EVENT, plat::FD_ACCEPT), 0);
    ASSERT_EQ(plat::listen(l, 16), 0);
    pumpFor(30);
    EXPECT_TRUE(got.empty()) << "nothing before a client comes";

    SOCKET c = plat::socket(AF_INET, SOCK_STREAM, 0);
    a = Loopback(PortOf(l));
    ASSERT_EQ(plat::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    pumpFor(50);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].event, plat::FD_ACCEPT);
    EXPECT_EQ(got[0].handle, plat::HandleOfSocket(l));
    SOCKET s = plat::accept(l, nullptr, nullptr);
    ASSERT_NE(s, plat::INVALID_SOCKET);
    got.clear();

    ASSERT_EQ(plat::WSAAsyncSelect(s, w.Handle(), plat::WM_SOCKET_EVENT,
                                   plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE), 0);
    ASSERT_EQ(plat::send(c, "hi", 2, 0), 2);
    ASSERT_EQ(plat::shutdown(c, SHUT_WR), 0);
    pumpFor(50);
    EXPECT_EQ(count(plat::FD_WRITE), 1) << "posted at registration on a writable socket";
    EXPECT_EQ(count(plat::FD_READ), 1);
    EXPECT_EQ(count(plat::FD_CLOSE), 0) << "not before the data are read";
    for (const Delivered& d : got) {
      EXPECT_EQ(d.handle, plat::HandleOfSocket(s));
    }
    char buf[8];
    ASSERT_EQ(plat::recv(s, buf, sizeof buf, 0), 2);
    pumpFor(50);
    EXPECT_EQ(count(plat::FD_CLOSE), 1);
    EXPECT_EQ(count(plat::FD_READ), 1);
    ASSERT_EQ(plat::recv(s, buf, sizeof buf, 0), 0);
    pumpFor(30);
    EXPECT_EQ(count(plat::FD_CLOSE), 1) << "close is reported once";

    // Mask 0 stops the events, and those already queued are told apart.
    got.clear();
    ASSERT_EQ(plat::send(s, "x", 1, 0), 1);
    ASSERT_EQ(plat::WSAAsyncSelect(c, w.Handle(), plat::WM_SOCKET_EVENT, plat::FD_READ), 0);
    ASSERT_EQ(plat::WSAAsyncSelect(c, w.Handle(), plat::WM_SOCKET_EVENT, 0), 0);
    ASSERT_EQ(plat::send(s, "y", 1, 0), 1);
    pumpFor(30);
    ASSERT_EQ(got.size(), 1u) << "posted at registration, before the cancel";
    EXPECT_FALSE(current.back()) << "queued before the cancel";
    ASSERT_EQ(plat::WSAAsyncSelect(c, w.Handle(), plat::WM_SOCKET_EVENT, plat::FD_READ), 0);
    pumpFor(30);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(current.back()) << "a new registration's events are current";
    for (SOCKET x : {l, c, s}) EXPECT_EQ(plat::closesocket(x), 0);
  });
}

TEST(SocketsAsyncSelect, HandleIsNotReusedWhenTheDescriptorIs) {
  SOCKET a = plat::socket(AF_INET, SOCK_STREAM, 0);
  const plat::SocketHandle ha = plat::HandleOfSocket(a);
  ASSERT_NE(ha, 0u);
  ASSERT_EQ(plat::closesocket(a), 0);
  SOCKET b = plat::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(b, a) << "the lowest free number is taken again";
  EXPECT_NE(plat::HandleOfSocket(b), ha);
  EXPECT_EQ(plat::SocketOfHandle(ha), plat::INVALID_SOCKET);
  EXPECT_EQ(plat::SocketOfHandle(plat::HandleOfSocket(b)), b);
  EXPECT_EQ(plat::closesocket(b), 0);
}

// The server's read item takes the write event of its renewed registration
// and runs the write step itself: no message may follow for that renewal,
// and a send that would block must still bring FD_WRITE back as a message.
// A renewal on a socket with data waiting still reports FD_READ.
TEST(SocketsAsyncSelect, TakenWriteIsNotPostedAndReturnsAfterABlockedSend) {
  OnFreshThread([] {
    std::vector<long> got;
    plat::TMessageWindow w([&](plat::TMessage& m) {
      if (m.Msg == plat::WM_SOCKET_EVENT && plat::IsSocketEventCurrent(m))
        got.push_back(plat::WSAGETSELECTEVENT(m.LParam));
    });
    auto& q = plat::TMessageQueue::Current();
    auto pumpFor = [&](int ms) {
      const uint64_t end = plat::GetTickCount64() + ms;
      while (plat::GetTickCount64() < end) q.ProcessMessages(5);
    };
    auto count = [&](long e) { return std::count(got.begin(), got.end(), e); };
    Pair p;
    const long all = plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE;
    ASSERT_EQ(plat::WSAAsyncSelect(p.s[0], w.Handle(), plat::WM_SOCKET_EVENT, all), 0);
    pumpFor(30);
    EXPECT_EQ(count(plat::FD_WRITE), 1);

    got.clear();
    long taken = 0;
    ASSERT_EQ(plat::WSAAsyncSelectTake(p.s[0], w.Handle(), plat::WM_SOCKET_EVENT, all, plat::FD_WRITE, &taken), 0);
    EXPECT_EQ(taken, plat::FD_WRITE);
    ASSERT_EQ(plat::send(p.s[1], "abc", 3, 0), 3);
    pumpFor(30);
    EXPECT_EQ(got, std::vector<long>{plat::FD_READ}) << "the taken write is not posted";

    // Renewed before the data are read: the read is reported again.
    got.clear();
    ASSERT_EQ(plat::WSAAsyncSelectTake(p.s[0], w.Handle(), plat::WM_SOCKET_EVENT, all, plat::FD_WRITE, &taken), 0);
    pumpFor(30);
    EXPECT_EQ(got, std::vector<long>{plat::FD_READ});

    got.clear();
    const std::string chunk(65536, 'x');
    int sent = 0;
    while (plat::send(p.s[0], chunk.data(), static_cast<int>(chunk.size()), 0) > 0 && ++sent < 1000) {
    }
    ASSERT_EQ(plat::WSAGetLastError(), plat::WSAEWOULDBLOCK);
    pumpFor(30);
    EXPECT_EQ(count(plat::FD_WRITE), 0) << "not writable yet";
    std::vector<char> sink(1 << 20);
    while (::recv(p.s[1], sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
    }
    pumpFor(50);
    EXPECT_EQ(count(plat::FD_WRITE), 1) << "back after the blocked send";
  });
}
