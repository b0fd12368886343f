#include "qvSocks.h"

#include <vector>

#include "CodeTable.h"
#include "qvFoundationLimits.h"
#include "qvIpAddress.h"
#include "qvSocket.h"
#include "qvWinSock2.h"

namespace {

constexpr uint32_t kWouldBlock = 10035;

constexpr const char* kUnknown = "Unknown SOCKS error occured";
constexpr const char* kNoMethod = "SOCKS error: No acceptable authentication methods";
constexpr const char* kAuthFailed = "SOCKS error: authentication failed";
constexpr const char* kFieldTooLong = "SOCKS error: a user name, password or host name is longer than 255 bytes";

constexpr plat::TCodeText<> kSocks4Texts[] = {
    {90, "Request granted"},
    {91, "SOCKS error: request rejected or failed"},
    {92, "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client"},
    {93, "SOCKS error: request rejected because the client program and identd report different user-ids"},
};

constexpr plat::TCodeText<> kSocks5Texts[] = {
    {0, "Succeeded"},
    {1, "General SOCKS server failure"},
    {2, "SOCKS error: connection not allowed by ruleset"},
    {3, "SOCKS error: Network unreachable"},
    {4, "SOCKS error: Host unreachable"},
    {5, "SOCKS error: Connection refused"},
    {6, "SOCKS error: TTL expired"},
    {7, "SOCKS error: Command not supported"},
    {8, "SOCKS error: Address type not supported"},
};

template <size_t N>
std::string Lookup(const plat::TCodeText<> (&ATable)[N], int ACode) {
  return plat::CodeText(ATable, ACode, kUnknown);
}

[[noreturn]] void Refuse(const std::string& AText, int ACode) { throw EqvSocksFirewallError(AText, ACode); }

uint8_t Byte(const std::string& AReply, size_t AIndex) { return static_cast<uint8_t>(AReply[AIndex]); }

void PutPort(std::string& ARequest, uint16_t APort) {
  ARequest += static_cast<char>(APort >> 8);
  ARequest += static_cast<char>(APort & 0xFF);
}

// A length byte and the bytes; over 255 bytes cannot be said in one byte.
void PutField(std::string& ARequest, const std::string& AField) {
  if (AField.size() > qvMaxSocksFieldBytes) Refuse(kFieldTooLong, qvSocksFieldTooLong);
  ARequest += static_cast<char>(AField.size());
  ARequest += AField;
}

}  // namespace

std::string GetSocks4ErrorText(int ACode) { return Lookup(kSocks4Texts, ACode); }
std::string GetSocks5ErrorText(int ACode) { return Lookup(kSocks5Texts, ACode); }

// --- TqvFirewallSettings

void TqvFirewallSettings::Assign(const TPersistent& Source) {
  const auto* s = dynamic_cast<const TqvFirewallSettings*>(&Source);
  if (!s) {
    TPersistent::Assign(Source);
    return;
  }
  FirewallType = s->FirewallType;
  UserName = s->UserName;
  Password = s->Password;
  Server = s->Server;
  Port = s->Port;
  NeedResolveIP = s->NeedResolveIP;
}

// --- TqvSocksNetworkStream

TqvSocksNetworkStream::TqvSocksNetworkStream(std::unique_ptr<TqvNetworkStream> AInner) : FInner(std::move(AInner)) {
  Assert(FInner != nullptr);
  SetNextAction(qvNextActionWrite);
}

bool TqvSocksNetworkStream::Connect(TqvIPAddress& AAddress, int APort) {
  FState = StateRequest;
  return TqvNetworkStream::Connect(AAddress, APort);
}

void TqvSocksNetworkStream::ConnectDone() {
  TqvNetworkStream::ConnectDone();
  FInner->ConnectDone();
}

void TqvSocksNetworkStream::StreamReady() {
  if (FState == StatePassThrough) {
    FInner->StreamReady();
    return;
  }
  if (FState != StateDone) return;
  FState = StatePassThrough;
  InitClientSession();
}

void TqvSocksNetworkStream::InitClientSession() {
  if (FState == StatePassThrough) {
    FInner->InitClientSession();
    CopyInnerState();
    return;
  }
  FState = StateRequest;
  FReply.clear();
  FRequestPending = false;
  ClearNextAction();
  SetNextAction(qvNextActionWrite);
}

void TqvSocksNetworkStream::CopyInnerState() {
  ClearNextAction();
  SetNextAction(FInner->NextAction());
  SetHasReadData(FInner->HasReadData());
  if (FInner->NeedClose()) SetNeedClose(true);
}

bool TqvSocksNetworkStream::Read(TStream* AData) {
  if (FState == StatePassThrough) {
    // The connection keeps its read flag on us: the inner stream reads what
    // we were told is there.
    FInner->SetHasReadData(HasReadData());
    const bool result = FInner->Read(AData);
    CopyInnerState();
    // A read that takes nothing must not swallow the notice of data waiting.
    if (!AData) SetHasReadData(true);
    return result;
  }
  ClearNextAction();
  const bool result = HandshakeRead();
  if (FState < StateDone && NextAction() == qvNextActionWrite) {
    // The next request goes out from here: handing the write back to the
    // connection would leave it one read too many behind the handshake.
    ClearNextAction();
    HandshakeWrite(nullptr);
    SetNextAction(FRequestPending ? qvNextActionWrite : qvNextActionRead);
  }
  return result;
}

bool TqvSocksNetworkStream::Write(TStream* AData) {
  if (FState == StatePassThrough) {
    const bool result = FInner->Write(AData);
    CopyInnerState();
    return result;
  }
  ClearNextAction();
  HandshakeWrite(AData);
  if (FRequestPending) return false;
  SetNextAction(qvNextActionRead);
  return true;
}

void TqvSocksNetworkStream::HandshakeWrite(TStream*) {
  if (!FRequestPending) {
    const std::string request = BuildRequest();
    FRequest.Clear();
    FRequest.WriteBuffer(request.data(), static_cast<int64_t>(request.size()));
    FRequest.SetPosition(0);
    TqvNetworkStream::InitProgress();
  }
  // A request the socket could not take at once is finished at the next
  // write event.
  FRequestPending = !TqvNetworkStream::Write(&FRequest);
}

bool TqvSocksNetworkStream::HandshakeRead() {
  const int wanted = GetReplySize() - static_cast<int>(FReply.size());
  if (wanted > 0) {
    // Never more than the reply: what the target sends behind it stays in
    // the socket for the protocol.
    std::vector<char> buf(static_cast<size_t>(wanted));
    const int n = ReadBuffer(buf.data(), wanted);
    if (n < 0) {
      if (plat::WSAGetLastError() != kWouldBlock) RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError()));
      SetHasReadData(false);
      SetNextAction(qvNextActionRead);
      return false;
    }
    if (n == 0) {
      SetNeedClose(true);
      return true;
    }
    FReply.append(buf.data(), static_cast<size_t>(n));
    SetHasReadData(true);
  }
  if (!ProcessReply(FReply)) {
    SetNextAction(qvNextActionRead);
    return true;
  }
  FReply.clear();
  return true;
}

int TqvSocksNetworkStream::GetReadBatchSize() {
  return FState == StatePassThrough ? FInner->GetReadBatchSize() : TqvNetworkStream::GetReadBatchSize();
}

int TqvSocksNetworkStream::GetWriteBatchSize() {
  return FState == StatePassThrough ? FInner->GetWriteBatchSize() : TqvNetworkStream::GetWriteBatchSize();
}

bool TqvSocksNetworkStream::IsLimitReached() {
  return FState == StatePassThrough ? FInner->IsLimitReached() : TqvNetworkStream::IsLimitReached();
}

void TqvSocksNetworkStream::InitProgress() {
  TqvNetworkStream::InitProgress();
  FInner->InitProgress();
}

void TqvSocksNetworkStream::UpdateProgress(int64_t ACount) {
  // Handshake bytes are no progress of the protocol.
  if (FState == StatePassThrough) FInner->UpdateProgress(ACount);
}

void TqvSocksNetworkStream::Close(bool ANotify) {
  TqvNetworkStream::Close(ANotify);
  if (FState == StatePassThrough) {
    FInner->Close(ANotify);
    CopyInnerState();
  }
}

void TqvSocksNetworkStream::SetConnection(TqvConnection* AConnection) {
  TqvNetworkStream::SetConnection(AConnection);
  FInner->SetConnection(AConnection);
}

void TqvSocksNetworkStream::Assign(const TqvNetworkStream& ASource) {
  TqvNetworkStream::Assign(ASource);
  if (const auto* s = dynamic_cast<const TqvSocksNetworkStream*>(&ASource)) {
    TargetServer = s->TargetServer;
    TargetPort = s->TargetPort;
    UserName = s->UserName;
    Password = s->Password;
  }
}

// A tunnel is a client's stream: the server and datagram operations are not
// implemented, and say so.
namespace {
[[noreturn]] void NotImplemented() { throw EAssertionFailed("Not implemented"); }
}  // namespace

void TqvSocksNetworkStream::Accept() { NotImplemented(); }
void TqvSocksNetworkStream::Listen() { NotImplemented(); }
void TqvSocksNetworkStream::EnableBroadcast() { NotImplemented(); }
void TqvSocksNetworkStream::InitServerSession() { NotImplemented(); }

bool TqvSocksNetworkStream::ReadFrom(TStream*, std::string&, int&) { NotImplemented(); }
bool TqvSocksNetworkStream::WriteTo(TStream*, TqvIPAddress&, int) { NotImplemented(); }

bool TqvSocksNetworkStream::TargetIPv4(std::string& AAddress) const {
  TqvIPAddress4 a;
  if (!a.Parse(TargetServer)) return false;
  const auto* in = reinterpret_cast<const sockaddr_in*>(a.GetSockAddr());
  AAddress.assign(reinterpret_cast<const char*>(&in->sin_addr.s_addr), 4);
  return true;
}

// --- SOCKS 4 and 4a

std::string TqvSocks4NetworkStream::BuildRequest() {
  std::string address;
  const bool numeric = TargetIPv4(address);
  if (UserName.size() > qvMaxSocksFieldBytes || (!numeric && TargetServer.size() > qvMaxSocksFieldBytes))
    Refuse(kFieldTooLong, qvSocksFieldTooLong);
  std::string r = "\x04\x01";
  PutPort(r, TargetPort);
  r += numeric ? address : std::string("\0\0\0\x01", 4);
  r += UserName;
  r += '\0';
  if (!numeric) {
    r += TargetServer;
    r += '\0';
  }
  return r;
}

bool TqvSocks4NetworkStream::ProcessReply(const std::string& AReply) {
  if (AReply.size() < 8) return false;
  if (Byte(AReply, 0) != 0 || Byte(AReply, 1) != 90) Refuse(GetSocks4ErrorText(Byte(AReply, 1)), Byte(AReply, 1));
  SetState(StateDone);
  StreamReady();
  return true;
}

// --- SOCKS 5

bool TqvSocks5NetworkStream::Connect(TqvIPAddress& AAddress, int APort) {
  FReplySize = 0;
  return TqvSocksNetworkStream::Connect(AAddress, APort);
}

void TqvSocks5NetworkStream::InitClientSession() {
  if (State() != StatePassThrough) FReplySize = 0;
  TqvSocksNetworkStream::InitClientSession();
}

std::string TqvSocks5NetworkStream::BuildRequest() {
  std::string r;
  switch (State()) {
    case StateRequest:
      r = UserName.empty() ? std::string("\x05\x01\x00", 3) : std::string("\x05\x01\x02", 3);
      break;
    case StateUserPass:
      r = "\x01";
      PutField(r, UserName);
      PutField(r, Password);
      break;
    default: {
      r = std::string("\x05\x01\x00", 3);
      std::string address;
      if (TargetIPv4(address)) {
        r += '\x01';
        r += address;
      } else {
        r += '\x03';
        PutField(r, TargetServer);
      }
      PutPort(r, TargetPort);
      FReplySize = 0;
      break;
    }
  }
  return r;
}

int TqvSocks5NetworkStream::GetReplySize() {
  if (State() != StateConnect) return 2;
  // The header and the first address byte tell how long the reply is.
  return FReplySize > 0 ? FReplySize : 5;
}

bool TqvSocks5NetworkStream::ProcessReply(const std::string& AReply) {
  if (AReply.size() < 2) return false;
  switch (State()) {
    case StateRequest:
      if (Byte(AReply, 0) == 5 && Byte(AReply, 1) == 0)
        SetState(StateConnect);
      else if (Byte(AReply, 0) == 5 && Byte(AReply, 1) == 2)
        SetState(StateUserPass);
      else
        Refuse(kNoMethod, Byte(AReply, 1));
      SetNextAction(qvNextActionWrite);
      return true;
    case StateUserPass:
      if (Byte(AReply, 0) != 1 || Byte(AReply, 1) != 0) Refuse(kAuthFailed, Byte(AReply, 1));
      SetState(StateConnect);
      SetNextAction(qvNextActionWrite);
      return true;
    default:
      break;
  }
  if (AReply.size() >= 2 && (Byte(AReply, 0) != 5 || Byte(AReply, 1) != 0))
    Refuse(GetSocks5ErrorText(Byte(AReply, 1)), Byte(AReply, 1));
  if (AReply.size() < 5) return false;
  if (FReplySize == 0) {
    switch (Byte(AReply, 3)) {
      case 1:
        FReplySize = 10;
        break;
      case 3:
        FReplySize = 7 + Byte(AReply, 4);
        break;
      case 4:
        FReplySize = 22;
        break;
      default:
        Refuse(GetSocks5ErrorText(8), 8);
    }
  }
  if (static_cast<int>(AReply.size()) < FReplySize) return false;
  SetState(StateDone);
  StreamReady();
  return true;
}
