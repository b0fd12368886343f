#include "qvSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include "TextTrim.h"
#include "qvIpAddress.h"
#include "qvTranslator.h"
#include "qvWinSock2.h"

namespace {

constexpr int kNotSocket = 10038;

[[noreturn]] void RaiseLast() { RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError())); }

void RaiseIfError(uint32_t ACode) {
  if (ACode != 0) RaiseSocketLastError(static_cast<int>(ACode));
}

}  // namespace

// --- TqvSocket

TqvSocket::~TqvSocket() { TqvSocket::Close(); }

void TqvSocket::Close() {
  if (FSocket != plat::INVALID_SOCKET) {
    (void)plat::shutdown(FSocket, SHUT_RDWR);
    (void)plat::closesocket(FSocket);
    FSocket = plat::INVALID_SOCKET;
  }
  FAddressFamily = 0;
}

void TqvSocket::SetSocket(plat::SOCKET AHandle, int AFamily) {
  FSocket = AHandle;
  FAddressFamily = AFamily;
}

// --- TqvConnection

TqvConnection::TqvConnection() : FSocket(std::make_unique<TqvSocket>()) {}

TqvConnection::~TqvConnection() {
  CloseQuietly();
  FNetworkStream.reset();
  FSocket.reset();
}

void TqvConnection::CloseQuietly() noexcept {
  // Runs from destructors: nothing may escape.
  try {
    if (FSocket) TqvConnection::Close(false);
  } catch (...) {
  }
  try {
    if (FSocket) CloseSocket();
  } catch (...) {
  }
}

void TqvConnection::ReleaseResources() {
  FSocket = std::make_unique<TqvSocket>();
  FNetworkStream.reset();
}

void TqvConnection::DoProgress() {
  if (OnProgress) OnProgress(this, FBytesProceed, FTotalBytes);
}

void TqvConnection::DoReady() {
  // A copy: the handler may clear OnReady while it runs.
  const TNotifyEvent handler = OnReady;
  if (handler) handler(this);
}

void TqvConnection::Close(bool ANotify) {
  bool pending = false;
  try {
    CloseNetworkStream(ANotify);
    if (FActive && FNetworkStream) pending = FNetworkStream->NextAction() != qvNextActionNone;
  } catch (...) {
    if (!ANotify || !pending) CloseSocket();
    throw;
  }
  if (!ANotify || !pending) CloseSocket();
}

void TqvConnection::Interrupt() {
  ++FInterrupts;
  FAborted = true;
}

TqvNetworkStream& TqvConnection::GetNetworkStream() const {
  if (!FNetworkStream) RaiseSocketError(qvNetworkStreamRequired);
  return *FNetworkStream;
}

void TqvConnection::SetNetworkStream(std::unique_ptr<TqvNetworkStream> AStream) {
  if (AStream.get() == FNetworkStream.get()) {
    (void)AStream.release();  // the same object: we already own it
    return;
  }
  if (AStream && FNetworkStream) AStream->Assign(*FNetworkStream);
  FNetworkStream = std::move(AStream);
  if (FNetworkStream) FNetworkStream->SetConnection(this);
}

void TqvConnection::OpenSocket(int AFamily, int AType, int AProtocol) {
  FAborted = false;
  Assert(FSocket->Socket() == plat::INVALID_SOCKET);
  const plat::SOCKET s = plat::socket(plat::FamilyToNative(AFamily), AType, AProtocol);
  if (s == plat::INVALID_SOCKET) RaiseLast();
  FSocket->SetSocket(s, AFamily);
}

void TqvConnection::CloseSocket() {
  FActive = false;
  FSocket->Close();
}

void TqvConnection::CloseNetworkStream(bool ANotify) {
  if (!FActive) return;
  GetNetworkStream().Close(ANotify);
  if (ANotify) DispatchNextAction();
}

void TqvConnection::InitProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  FBytesProceed = ABytesProceed;
  FTotalBytes = ATotalBytes;
  if (FNetworkStream) FNetworkStream->InitProgress();
}

void TqvConnection::AddProgress(int64_t ACount) {
  FBytesProceed += ACount;
  DoProgress();
}

// --- TqvSyncConnection

TqvSyncConnection::TqvSyncConnection()
    : FNetworkEvent(qvWinSock2::WSACreateEvent()), FAbortEvent(std::make_unique<plat::TWaitEvent>(false)) {
  if (!FNetworkEvent) RaiseLast();
}

TqvSyncConnection::~TqvSyncConnection() {
  // Close while the events still exist: the socket is selected on one.
  CloseQuietly();
}

void TqvSyncConnection::ReleaseResources() {
  if (FNetworkEvent) {
    CloseSocket();  // the socket must not outlive the event it is selected on
    qvWinSock2::WSACloseEvent(FNetworkEvent);
  }
  FAbortEvent.reset();
  TqvConnection::ReleaseResources();
}

void TqvSyncConnection::Interrupt() {
  TqvConnection::Interrupt();
  if (FAbortEvent) FAbortEvent->Set();
}

void TqvSyncConnection::UpdateActivity() { FLastActivity = plat::GetTickCount(); }

void TqvSyncConnection::SelectNetworkEvents(long AMask) {
  if (qvWinSock2::WSAEventSelect(Socket().Socket(), FNetworkEvent.get(), AMask) != 0) RaiseLast();
}

bool TqvSyncConnection::WaitForEvent(int ATimeOut) {
  return WaitForSocketEvent(FNetworkEvent.get(), FAbortEvent.get(), FLastActivity, ATimeOut);
}

plat::WSANETWORKEVENTS TqvSyncConnection::EnumNetworkEvents() {
  plat::WSANETWORKEVENTS ev;
  if (qvWinSock2::WSAEnumNetworkEvents(Socket().Socket(), FNetworkEvent.get(), &ev) != 0)
    RaiseLast();
  return ev;
}

bool TqvSyncConnection::WaitWritable(TqvNetworkStream& AStream, bool& AClosed, uint32_t& ACloseError) {
  if (!WaitForEvent(TimeOut)) return false;
  const plat::WSANETWORKEVENTS ev = EnumNetworkEvents();
  if (ev.lNetworkEvents & plat::FD_READ) {
    RaiseIfError(ev.iErrorCode[plat::FD_READ_BIT]);
    AStream.SetHasReadData(true);
  }
  if (ev.lNetworkEvents & plat::FD_CLOSE) {
    AClosed = true;
    ACloseError = ev.iErrorCode[plat::FD_CLOSE_BIT];
  }
  if (!(ev.lNetworkEvents & plat::FD_WRITE)) return false;
  RaiseIfError(ev.iErrorCode[plat::FD_WRITE_BIT]);
  UpdateActivity();
  return true;
}

// --- TqvTcpConnection

void TqvTcpConnection::ReadStep(TStream* AData) {
  UpdateActivity();
  FPeerClosed = false;
  try {
    DoReadStep(AData);
  } catch (...) {
    if (FPeerClosed || (NetworkStream() && NetworkStream()->NeedClose())) {
      try {
        Close(false);
      } catch (...) {
      }
    }
    throw;
  }
  TqvNetworkStream& s = GetNetworkStream();
  if (FPeerClosed || s.NeedClose()) {
    // Bytes may still be queued behind the close (the last pass may have
    // stopped at the byte limit): read them before the socket goes.
    if (FPeerClosed && !s.NeedClose() && Active()) (void)s.Read(AData);
    Close(false);
  }
}

void TqvTcpConnection::DoReadStep(TStream* AData) {
  TqvNetworkStream& s = GetNetworkStream();
  if (s.HasReadData()) {
    s.SetHasReadData(false);
    (void)s.Read(AData);
    if (!s.NeedClose() && !Active()) s.ClearNextAction();
    return;
  }
  for (;;) {
    if (!Active()) RaiseSocketLastError(kNotSocket);
    if (s.NeedClose()) return;
    if (WaitForEvent(TimeOut)) {
      const plat::WSANETWORKEVENTS ev = EnumNetworkEvents();
      if (ev.lNetworkEvents & plat::FD_CLOSE) {
        RaiseIfError(ev.iErrorCode[plat::FD_CLOSE_BIT]);
        FPeerClosed = true;
      }
      if (ev.lNetworkEvents & plat::FD_READ) {
        RaiseIfError(ev.iErrorCode[plat::FD_READ_BIT]);
        (void)s.Read(AData);
        return;
      }
      if (FPeerClosed) return;
    }
    if (Aborted() || s.IsLimitReached()) return;
  }
}

bool TqvTcpConnection::ReadData(TStream* AData) {
  for (;;) {
    ReadStep(AData);
    const TqvNetworkStream* s = NetworkStream();
    const uint8_t next = s ? s->NextAction() : qvNextActionNone;
    if (next == qvNextActionWrite)
      WriteData(nullptr);
    else if (next != qvNextActionRead)
      return true;
  }
}

void TqvTcpConnection::WriteStep(TStream* AData) {
  UpdateActivity();
  if (!Active()) RaiseSocketLastError(kNotSocket);
  TqvNetworkStream& s = GetNetworkStream();
  if (s.NeedClose()) {
    Close(false);
    return;
  }
  if (s.Write(AData)) return;
  uint32_t closeError = 0;
  bool closed = false;
  for (;;) {
    if (WaitWritable(s, closed, closeError) && s.Write(AData)) return;
    if (closed) break;
    if (Aborted() || s.IsLimitReached()) return;
  }
  RaiseIfError(closeError);
  Close(false);
}

bool TqvTcpConnection::WriteData(TStream* AData) {
  WriteStep(AData);
  for (;;) {
    const TqvNetworkStream* s = NetworkStream();
    const uint8_t next = s ? s->NextAction() : qvNextActionNone;
    if (next == qvNextActionRead)
      ReadData(nullptr);
    else if (next == qvNextActionWrite)
      WriteStep(nullptr);
    else
      return true;
  }
}

void TqvTcpConnection::DispatchNextAction() {
  const TqvNetworkStream* s = NetworkStream();
  const uint8_t next = s ? s->NextAction() : qvNextActionNone;
  if (next == qvNextActionRead)
    ReadData(nullptr);
  else if (next == qvNextActionWrite)
    WriteData(nullptr);
}

// --- TqvTcpClientConnection

bool TqvTcpClientConnection::ReadData(TStream* AData) {
  const bool result = TqvTcpConnection::ReadData(AData);
  if (Active()) {
    const int one = 1;
    (void)plat::setsockopt(Socket().Socket(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  return result;
}

void TqvTcpClientConnection::BeginOpen() { FOpenMark = InterruptCount(); }

void TqvTcpClientConnection::Open(const std::string& AHost, int APort) {
  const bool interrupted = FOpenMark && InterruptCount() != *FOpenMark;
  FOpenMark.reset();
  std::unique_ptr<TqvIPAddress> addr = ParseAddress(AHost);
  TqvNetworkStream& s = GetNetworkStream();
  OpenSocket(addr->GetFamily(), SOCK_STREAM, IPPROTO_TCP);
  // Every write leaves at once: a command's or a message's last small segment
  // never waits for the ACK of the one before (Nagle) while the peer delays
  // that ACK.
  const int one = 1;
  (void)plat::setsockopt(Socket().Socket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Interrupted during the look-up: no connect is tried.
  if (interrupted) SetAborted();
  try {
    SelectNetworkEvents(plat::FD_CONNECT);
    const std::string binding = plat::Trim(LocalBinding);
    if (!binding.empty()) {
      std::unique_ptr<TqvIPAddress> local = ParseAddress(binding);
      s.Bind(*local, 0);
    }
    if (!Aborted() && !s.Connect(*addr, APort)) {
      UpdateActivity();
      const int limit = ConnectTimeOut != 0 ? ConnectTimeOut : TimeOut;
      while (!Aborted()) {
        if (!WaitForEvent(limit)) continue;
        const plat::WSANETWORKEVENTS ev = EnumNetworkEvents();
        if (ev.lNetworkEvents & plat::FD_CONNECT) {
          RaiseIfError(ev.iErrorCode[plat::FD_CONNECT_BIT]);
          break;
        }
      }
    }
    SelectNetworkEvents(plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE);
  } catch (...) {
    // A failed open leaves nothing behind, so the connection can be opened again.
    CloseSocket();
    throw;
  }
  if (Aborted()) {
    Close(false);
    return;
  }
  SetActive(true);
  DispatchNextAction();
  if (!Active()) RaiseSocketError(qvConnectionNotActive);
  s.ConnectDone();
  s.StreamReady();
}

void TqvTcpClientConnection::StartClientSession() {
  if (!Active()) RaiseSocketError(qvConnectionNotActive);
  TqvNetworkStream& s = GetNetworkStream();
  s.InitClientSession();
  if (Aborted()) {
    Close(false);
    return;
  }
  DispatchNextAction();
  s.StreamReady();
}

// --- TqvUdpConnection

bool TqvUdpConnection::ReadData(TStream* AData) {
  TqvNetworkStream& s = GetNetworkStream();
  std::string ip;
  int port = 0;
  if (s.HasReadData()) {
    s.SetHasReadData(false);
    if (s.ReadFrom(AData, ip, port)) return true;
  }
  // The wait counts from the last send (or the open), not from this call:
  // a caller that skips unwanted datagrams still gives up on time.
  for (;;) {
    if (!Active()) RaiseSocketLastError(kNotSocket);
    if (WaitForEvent(TimeOut)) {
      const plat::WSANETWORKEVENTS ev = EnumNetworkEvents();
      if (ev.lNetworkEvents & plat::FD_READ) {
        RaiseIfError(ev.iErrorCode[plat::FD_READ_BIT]);
        if (s.ReadFrom(AData, ip, port)) return true;
      }
    }
    if (Aborted()) return true;
  }
}

bool TqvUdpConnection::WriteData(TStream* AData) {
  UpdateActivity();
  if (!Active()) RaiseSocketLastError(kNotSocket);
  TqvNetworkStream& s = GetNetworkStream();
  std::unique_ptr<TqvIPAddress> addr = ParseAddress(PeerIP);
  uint32_t closeError = 0;
  bool closed = false;
  while (!s.WriteTo(AData, *addr, PeerPort)) {
    while (!WaitWritable(s, closed, closeError))
      if (Aborted()) return true;
  }
  return true;
}

void TqvUdpClientConnection::Open(const std::string& AHost, int APort) {
  std::unique_ptr<TqvIPAddress> addr = ParseAddress(AHost);
  addr->SetPort(APort);  // refuses a bad port before a socket exists
  TqvNetworkStream& s = GetNetworkStream();
  OpenSocket(addr->GetFamily(), SOCK_DGRAM, IPPROTO_UDP);
  try {
    const std::string binding = plat::Trim(LocalBinding);
    if (!binding.empty()) {
      std::unique_ptr<TqvIPAddress> local = ParseAddress(binding);
      s.Bind(*local, 0);
    }
    // A connected datagram socket takes datagrams from its peer only, so a
    // reply from any other address or port never reaches the caller.
    (void)s.Connect(*addr, APort);
    SelectNetworkEvents(plat::FD_READ | plat::FD_WRITE);
  } catch (...) {
    CloseSocket();
    throw;
  }
  SetActive(true);
  UpdateActivity();
  s.StreamReady();
}

// --- Unit routines

void WriteConnectionString(TqvConnection& AConnection, const std::string& AText,
                           const std::string& ACharSet) {
  const TBytes bytes = TqvTranslator::GetBytes(AText, ACharSet);
  TMemoryStream data;
  data.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  data.SetPosition(0);
  AConnection.WriteData(&data);
  // The write stops early on a peer close, Interrupt or the byte limit.
  if (data.Position() < data.Size()) RaiseSocketError(qvConnectionNotActive);
}

bool WaitForSocketEvent(plat::TSocketEvent* AEvent, plat::TWaitEvent* AAbortEvent,
                        uint32_t AStartTick, int ATimeOut) {
  // Only what is left of the limit: callers loop with the same start tick.
  int wait = -1;
  if (ATimeOut >= 0) {
    const uint32_t used = plat::GetTickCount() - AStartTick;
    wait = used >= static_cast<uint32_t>(ATimeOut) ? 0 : static_cast<int>(ATimeOut - used);
  }
  switch (plat::WaitForSocketEvent(AEvent, AAbortEvent, wait)) {
    case plat::TWaitResult::Event:
      return true;
    case plat::TWaitResult::Interrupt:
      return false;
    case plat::TWaitResult::Timeout:
      RaiseSocketError(qvTimeoutError);
    case plat::TWaitResult::Failed:
      RaiseLast();
    case plat::TWaitResult::Messages:
      break;
  }
  if (ATimeOut >= 0 && plat::GetTickCount() - AStartTick > static_cast<uint32_t>(ATimeOut))
    RaiseSocketError(qvTimeoutError);
  return false;
}
