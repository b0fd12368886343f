#include "qvNetworkStream.h"

#include <netinet/in.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "qvIpAddress.h"
#include "qvSocket.h"
#include "qvSocketUtils.h"

namespace {

constexpr uint32_t kWouldBlock = 10035;
constexpr uint32_t kAddrInUse = 10048;
constexpr uint32_t kAccess = 10013;

[[noreturn]] void RaiseLast() { RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError())); }

// Bytes from AData's position to its end.
int64_t Remaining(TStream& AData) { return AData.Size() - AData.Position(); }

}  // namespace

TqvNetworkStream::TqvNetworkStream() : FSleepEvent(false) {}

int TqvNetworkStream::GetBatchSize() {
  TqvConnection& c = GetConnection();
  const int batch = c.BatchSize;
  if (batch < 1) RaiseSocketError(qvInvalidBatchSize);
  if (c.BytesToProceed >= 0) {
    const int64_t left = c.BytesToProceed - FBytesProceed;
    if (left >= 0 && left < batch) return static_cast<int>(left);
  }
  return batch;
}

void TqvNetworkStream::SetConnection(TqvConnection* AConnection) { FConnection = AConnection; }

void TqvNetworkStream::Assign(const TqvNetworkStream& ASource) {
  SetPeer(ASource.FPeerIP, ASource.FPeerPort);
  SetLocal(ASource.FLocalIP, ASource.FLocalPort);
  FHasReadData = ASource.FHasReadData;
}

bool TqvNetworkStream::Connect(TqvIPAddress& AAddress, int APort) {
  FNeedClose = false;
  ClearNextAction();
  InitClientSession();
  AAddress.SetPort(APort);
  const int r = plat::connect(Handle(), AAddress.GetSockAddr(),
                              static_cast<socklen_t>(AAddress.GetSockAddrSize()));
  const bool done = r == 0;
  if (!done && plat::WSAGetLastError() != kWouldBlock) RaiseLast();
  SetPeer(AAddress.ToString(), APort);
  return done;
}

void TqvNetworkStream::ConnectDone() { UpdateLocalAddress(); }

void TqvNetworkStream::Bind(TqvIPAddress& AAddress, int APort) {
  AAddress.SetPort(APort);
  if (plat::bind(Handle(), AAddress.GetSockAddr(),
                 static_cast<socklen_t>(AAddress.GetSockAddrSize())) != 0)
    RaiseLast();
}

void TqvNetworkStream::BindPortRange(TqvIPAddress& AAddress, int AFirst, int ALast) {
  if (AFirst < 1 || ALast < AFirst || ALast > 65535) RaiseSocketError(qvInvalidPortNumber);
  for (int port = AFirst; port <= ALast; ++port) {
    AAddress.SetPort(port);
    if (plat::bind(Handle(), AAddress.GetSockAddr(),
                   static_cast<socklen_t>(AAddress.GetSockAddrSize())) == 0)
      return;
    const uint32_t e = plat::WSAGetLastError();
    if ((e != kAddrInUse && e != kAccess) || port == ALast) RaiseLast();
  }
}

void TqvNetworkStream::EnableBroadcast() {
  if (GetConnection().Socket().AddressFamily() == qvFamilyIPv6)
    RaiseSocketError(qvInvalidAddressFamily);
  int one = 1;
  if (plat::setsockopt(Handle(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) RaiseLast();
}

void TqvNetworkStream::Listen() {
  FNeedClose = false;
  ClearNextAction();
  plat::u_long on = 1;
  if (plat::ioctlsocket(Handle(), FIONBIO, &on) != 0) RaiseLast();
  if (plat::listen(Handle(), 1) != 0) RaiseLast();
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (plat::getsockname(Handle(), reinterpret_cast<sockaddr*>(&a), &len) != 0) RaiseLast();
  const int port = a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(a).sin6_port)
                                           : ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
  SetLocal(FLocalIP, port);
}

void TqvNetworkStream::Accept() {
  TqvSocket& holder = GetConnection().Socket();
  const plat::SOCKET listener = holder.Socket();
  const int family = holder.AddressFamily();
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  const plat::SOCKET s = plat::accept(listener, reinterpret_cast<sockaddr*>(&a), &len);
  if (s == plat::INVALID_SOCKET) {
    // The holder lent us the listener: give it back empty, so closing this
    // half-made connection can never close the listening socket.
    const uint32_t e = plat::WSAGetLastError();
    holder.SetSocket(plat::INVALID_SOCKET, 0);
    RaiseSocketLastError(static_cast<int>(e));
  }
  Accepted(s, family, reinterpret_cast<sockaddr*>(&a));
}

void TqvNetworkStream::Accepted(plat::SOCKET ASocket, int AFamily, const sockaddr* APeer) {
  FNeedClose = false;
  ClearNextAction();
  GetConnection().Socket().SetSocket(ASocket, AFamily);
  InitServerSession();
  const auto& a = *reinterpret_cast<const sockaddr_storage*>(APeer);
  const int port = a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port)
                                           : ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  SetPeer(SockAddrToString(APeer), port);
}

void TqvNetworkStream::AcceptDone() { UpdateLocalAddress(); }

void TqvNetworkStream::Close(bool) { ClearNextAction(); }

void TqvNetworkStream::StreamReady() { GetConnection().DoReady(); }

bool TqvNetworkStream::Read(TStream* AData) {
  ClearNextAction();
  if (!AData) return true;
  std::vector<char> buf;
  int n = 0;
  do {
    const int batch = GetReadBatchSize();
    if (batch < 1) break;
    if (static_cast<size_t>(batch) > buf.size()) buf.resize(static_cast<size_t>(batch));
    n = ReadBuffer(buf.data(), batch);
    if (n < 0) {
      if (plat::WSAGetLastError() != kWouldBlock) RaiseLast();
      return false;
    }
    if (n > 0) {
      AData->WriteBuffer(buf.data(), n);
      UpdateProgress(n);
    } else {
      FNeedClose = true;
    }
  } while (n > 0 && !IsAbortedOrLimitReached());
  return true;
}

bool TqvNetworkStream::Write(TStream* AData) {
  ClearNextAction();
  if (!AData || Remaining(*AData) <= 0) return true;
  if (GetWriteBatchSize() < 1) return true;
  std::vector<char> buf;
  do {
    const int batch = GetWriteBatchSize();
    if (batch < 1) break;
    const int chunk = static_cast<int>(std::min<int64_t>(batch, Remaining(*AData)));
    if (static_cast<size_t>(chunk) > buf.size()) buf.resize(static_cast<size_t>(chunk));
    AData->ReadBuffer(buf.data(), chunk);
    const int n = WriteBuffer(buf.data(), chunk);
    if (n < 0) {
      if (plat::WSAGetLastError() != kWouldBlock) RaiseLast();
      AData->Seek(-chunk, soFromCurrent);
      return false;
    }
    if (n < chunk) AData->Seek(n - chunk, soFromCurrent);
    UpdateProgress(n);
  } while (Remaining(*AData) > 0 && !IsAbortedOrLimitReached());
  return true;
}

bool TqvNetworkStream::ReadFrom(TStream* AData, std::string& ASenderIP, int& APort) {
  ClearNextAction();
  if (!AData) return true;
  const int batch = GetReadBatchSize();
  if (batch < 1) return true;
  std::vector<char> buf(static_cast<size_t>(batch));
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  const int n = plat::recvfrom(Handle(), buf.data(), batch, 0, reinterpret_cast<sockaddr*>(&a), &len);
  Throttle(batch);
  if (n < 0) {
    if (plat::WSAGetLastError() != kWouldBlock) RaiseLast();
    return false;
  }
  if (n > 0) {
    AData->WriteBuffer(buf.data(), n);
    UpdateProgress(n);
  }
  UpdateLocalAddress();
  ASenderIP = SockAddrToString(reinterpret_cast<sockaddr*>(&a));
  APort = a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(a).sin6_port)
                                  : ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
  SetPeer(ASenderIP, APort);
  return true;
}

bool TqvNetworkStream::WriteTo(TStream* AData, TqvIPAddress& AAddress, int APort) {
  ClearNextAction();
  if (!AData || Remaining(*AData) <= 0) return true;
  AAddress.SetPort(APort);
  const int chunk = static_cast<int>(std::min<int64_t>(GetWriteBatchSize(), Remaining(*AData)));
  if (chunk < 1) return true;
  std::vector<char> buf(static_cast<size_t>(chunk));
  AData->ReadBuffer(buf.data(), chunk);
  const int n = plat::sendto(Handle(), buf.data(), chunk, 0, AAddress.GetSockAddr(),
                             static_cast<socklen_t>(AAddress.GetSockAddrSize()));
  Throttle(chunk);
  if (n < 0) {
    if (plat::WSAGetLastError() != kWouldBlock) RaiseLast();
    AData->Seek(-chunk, soFromCurrent);
    return false;
  }
  if (n < chunk) AData->Seek(n - chunk, soFromCurrent);
  UpdateProgress(n);
  UpdateLocalAddress();
  SetPeer(AAddress.ToString(), APort);
  return true;
}

int TqvNetworkStream::ReadBuffer(void* ABuffer, int ASize) {
  const int n = plat::recv(Handle(), ABuffer, ASize, 0);
  Throttle(ASize);
  return n;
}

int TqvNetworkStream::WriteBuffer(const void* ABuffer, int ASize) {
  const int n = plat::send(Handle(), ABuffer, ASize, 0);
  Throttle(ASize);
  return n;
}

bool TqvNetworkStream::IsLimitReached() {
  const int64_t limit = GetConnection().BytesToProceed;
  return limit >= 0 && FBytesProceed >= limit;
}

void TqvNetworkStream::UpdateProgress(int64_t ACount) {
  FBytesProceed += ACount;
  GetConnection().AddProgress(ACount);
}

TqvConnection& TqvNetworkStream::GetConnection() const {
  Assert(FConnection != nullptr);
  return *FConnection;
}

void TqvNetworkStream::SetNextAction(uint8_t AAction) {
  if (FNextAction == qvNextActionNone) FNextAction = AAction;
}

void TqvNetworkStream::SetPeer(const std::string& AIP, int APort) {
  FPeerIP = AIP;
  FPeerPort = APort;
  if (FConnection) {
    FConnection->PeerIP = AIP;
    FConnection->PeerPort = APort;
  }
}

void TqvNetworkStream::SetLocal(const std::string& AIP, int APort) {
  FLocalIP = AIP;
  FLocalPort = APort;
  if (FConnection) {
    FConnection->LocalIP = AIP;
    FConnection->LocalPort = APort;
  }
}

void TqvNetworkStream::UpdateLocalAddress() {
  if (!GetConnection().Active()) return;
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (plat::getsockname(Handle(), reinterpret_cast<sockaddr*>(&a), &len) != 0) RaiseLast();
  const int port = a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(a).sin6_port)
                                           : ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
  SetLocal(SockAddrToString(reinterpret_cast<sockaddr*>(&a)), port);
}

bool TqvNetworkStream::IsAbortedOrLimitReached() {
  return GetConnection().Aborted() || IsLimitReached();
}

void TqvNetworkStream::Throttle(int64_t ABytes) {
  const int bps = FConnection ? FConnection->BitsPerSec : 0;
  if (bps <= 0 || ABytes <= 0) return;
  // 64-bit: a large batch times 8000 overflows 32 bits.
  const int64_t pause = std::min<int64_t>(ABytes * 8000 / bps, INT_MAX);
  if (pause <= 0) return;
  const uint32_t saved = plat::WSAGetLastError();
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    const uint32_t used = plat::GetTickCount() - start;
    if (used > pause) break;
    // Nothing sets the sleep event; the wait only dispatches messages.
    (void)plat::WaitForSocketEvent(nullptr, &FSleepEvent, static_cast<int>(pause - used + 1));
  }
  plat::WSASetLastError(saved);
}

plat::SOCKET TqvNetworkStream::Handle() const { return GetConnection().Socket().Socket(); }

// --- Memory-backed stream

void TqvMemoryNetworkStream::FeedInput(const std::string& ABytes) {
  FInput.append(ABytes);
  SetHasReadData(FInputPos < FInput.size());
}

bool TqvMemoryNetworkStream::Read(TStream* AData) {
  ClearNextAction();
  if (!AData) return true;
  while (FInputPos < FInput.size() && !IsAbortedOrLimitReached()) {
    const int batch = GetReadBatchSize();
    if (batch < 1) break;
    const size_t n = std::min(FInput.size() - FInputPos, static_cast<size_t>(batch));
    AData->WriteBuffer(FInput.data() + FInputPos, static_cast<int64_t>(n));
    FInputPos += n;
    UpdateProgress(static_cast<int64_t>(n));
  }
  const bool left = FInputPos < FInput.size();
  SetHasReadData(left);
  if (left) return true;
  if (FInputEnded) {
    SetNeedClose(true);
    return true;
  }
  return false;
}

bool TqvMemoryNetworkStream::Write(TStream* AData) {
  ClearNextAction();
  if (!AData) return true;
  std::vector<char> buf;
  while (Remaining(*AData) > 0 && !IsAbortedOrLimitReached()) {
    const int batch = GetWriteBatchSize();
    if (batch < 1) break;
    int64_t chunk = std::min<int64_t>(batch, Remaining(*AData));
    if (FWriteCapacity >= 0) {
      if (FWriteCapacity == 0) return false;
      chunk = std::min(chunk, FWriteCapacity);
      FWriteCapacity -= chunk;
    }
    buf.resize(static_cast<size_t>(chunk));
    AData->ReadBuffer(buf.data(), chunk);
    FOutput.append(buf.data(), buf.size());
    UpdateProgress(chunk);
  }
  return true;
}
