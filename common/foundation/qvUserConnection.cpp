#include "qvUserConnection.h"

#include <sys/socket.h>

#include <cstring>

#include "qvIpAddress.h"
#include "qvSocketUtils.h"

namespace {

// Compacting a sent prefix only once it is this large keeps the copy rare.
constexpr int64_t kCompactThreshold = 64 * 1024;

std::pair<std::string, int> AddressOf(const sockaddr_storage& AAddr) {
  int port = 0;
  if (AAddr.ss_family == AF_INET)
    port = ntohs(reinterpret_cast<const sockaddr_in&>(AAddr).sin_port);
  else if (AAddr.ss_family == AF_INET6)
    port = ntohs(reinterpret_cast<const sockaddr_in6&>(AAddr).sin6_port);
  return {SockAddrToString(reinterpret_cast<const sockaddr*>(&AAddr)), port};
}

[[noreturn]] void RaiseLast() { RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError())); }

}  // namespace

TqvUserConnection::TqvUserConnection() { UpdateActivity(); }

TqvUserConnection::~TqvUserConnection() {
  std::scoped_lock lock(FLock);
  CloseSocketLocked();
}

void TqvUserConnection::CloseSocketLocked() noexcept {
  FActive = false;
  if (FSocket == plat::INVALID_SOCKET) return;
  plat::shutdown(FSocket, SHUT_RDWR);
  plat::closesocket(FSocket);
  FSocket = plat::INVALID_SOCKET;
  FAddressFamily = 0;
}

void TqvUserConnection::AttachSocket(plat::SOCKET ASocket, int AFamily) {
  std::scoped_lock lock(FLock);
  Assert(FSocket == plat::INVALID_SOCKET);
  FSocket = ASocket;
  FHandle = plat::HandleOfSocket(ASocket);
  FAddressFamily = AFamily;
  FAborted = false;
  FPeerClosed = false;
  FActive = true;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (plat::getpeername(ASocket, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
    std::tie(PeerIP, PeerPort) = AddressOf(ss);
  len = sizeof ss;
  if (plat::getsockname(ASocket, reinterpret_cast<sockaddr*>(&ss), &len) != 0) RaiseLast();
  std::tie(LocalIP, LocalPort) = AddressOf(ss);
}

void TqvUserConnection::SelectEvents(plat::HWND AWindow, long AMask) {
  std::scoped_lock lock(FLock);
  if (FSocket == plat::INVALID_SOCKET) return;
  FWindow = AWindow;
  FMask = AMask;
  if (plat::WSAAsyncSelect(FSocket, AWindow, plat::WM_SOCKET_EVENT, AMask) != 0) RaiseLast();
}

int TqvUserConnection::CheckedBatchSize() const {
  if (BatchSize < 1) RaiseSocketError(qvInvalidBatchSize);
  return BatchSize;
}

void TqvUserConnection::InitProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  std::scoped_lock lock(FLock);
  FBytesProceed = ABytesProceed;
  FTotalBytes = ATotalBytes;
}

void TqvUserConnection::AddProgress(int64_t ACount) {
  FBytesProceed += ACount;
  if (OnProgress) OnProgress(this, FBytesProceed.load(), FTotalBytes);
}

bool TqvUserConnection::ReadData(TStream* AData) {
  std::scoped_lock lock(FLock);
  UpdateActivity();
  if (!AData) return true;
  if (FSocket == plat::INVALID_SOCKET) RaiseSocketLastError(static_cast<int>(plat::WSAENOTSOCK));
  const int batch = CheckedBatchSize();
  if (static_cast<int>(FReadBuffer.size()) < batch) FReadBuffer.resize(static_cast<size_t>(batch));
  for (;;) {
    const int n = plat::recv(FSocket, FReadBuffer.data(), batch, 0);
    if (n > 0) {
      AData->WriteBuffer(FReadBuffer.data(), n);
      AddProgress(n);
      if (FAborted) return true;
      continue;
    }
    if (n == 0) {
      FPeerClosed = true;
      return true;
    }
    const uint32_t e = plat::WSAGetLastError();
    if (e == plat::WSAEWOULDBLOCK) return false;
    RaiseSocketLastError(static_cast<int>(e));
  }
}

bool TqvUserConnection::WriteData(TStream* AData) {
  std::scoped_lock lock(FLock);
  if (!FActive) return true;
  UpdateActivity();
  if (AData) {
    const int64_t left = AData->Size() - AData->Position();
    if (left > 0) {
      const int64_t keep = FOutput.Position();
      FOutput.Seek(0, soFromEnd);
      FOutput.CopyFrom(*AData, left);
      FOutput.SetPosition(keep);
    }
  }
  int64_t pos = FOutput.Position();
  const int64_t size = FOutput.Size();
  if (pos >= size) {
    FOutput.Clear();
    return true;
  }
  const int batch = CheckedBatchSize();
  while (pos < size) {
    const int chunk = static_cast<int>(std::min<int64_t>(batch, size - pos));
    const int n = plat::send(FSocket, FOutput.Memory() + pos, chunk, 0);
    if (n < 0) {
      const uint32_t e = plat::WSAGetLastError();
      if (e != plat::WSAEWOULDBLOCK) RaiseSocketLastError(static_cast<int>(e));
      break;
    }
    pos += n;
    AddProgress(n);
    if (FAborted) break;
  }
  if (pos >= size) {
    FOutput.Clear();
    return true;
  }
  if (pos >= kCompactThreshold) {
    // Drop the sent prefix; the unsent bytes keep their order.
    std::memmove(FOutput.Memory(), FOutput.Memory() + pos, static_cast<size_t>(size - pos));
    FOutput.SetSize(size - pos);
    pos = 0;
  }
  FOutput.SetPosition(pos);
  return false;
}

bool TqvUserConnection::WriteData(const std::string& AText) {
  TStringStream data(AText);
  return WriteData(&data);
}

bool TqvUserConnection::WriteDataAndClose(TStream* AData) {
  std::scoped_lock lock(FLock);
  UpdateActivity();
  FCloseAfterWrite = true;
  const bool done = WriteData(AData);
  // When everything went out at once no write event would follow by itself;
  // renewing the registration posts one on a writable socket.
  if (FActive && FWindow != 0 && FMask != 0) SelectEvents(FWindow, FMask);
  return done;
}

bool TqvUserConnection::WriteDataAndClose(const std::string& AText) {
  TStringStream data(AText);
  return WriteDataAndClose(&data);
}

void TqvUserConnection::Close(bool /*ANotify*/) {
  std::scoped_lock lock(FLock);
  CloseSocketLocked();
}

int64_t TqvUserConnection::PendingOutput() {
  std::scoped_lock lock(FLock);
  return FOutput.Size() - FOutput.Position();
}
