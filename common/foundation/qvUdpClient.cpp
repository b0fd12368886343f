#include "qvUdpClient.h"

#include "qvHostResolver.h"
#include "qvNetworkStream.h"
#include "qvSocket.h"

namespace {
constexpr int kDefaultDatagramSize = 8192;
constexpr int kDefaultTimeOut = 5000;
}  // namespace

TqvUdpClient::TqvUdpClient(TComponent* AOwner)
    : TComponent(AOwner), FConnection(std::make_unique<TqvUdpClientConnection>()) {
  FConnection->SetNetworkStream(std::make_unique<TqvNetworkStream>());
  FConnection->BatchSize = kDefaultDatagramSize;
  FConnection->TimeOut = kDefaultTimeOut;
}

TqvUdpClient::~TqvUdpClient() {
  RunBeforeDestroy();
  try {
    Close();
  } catch (...) {
  }
}

void TqvUdpClient::RunBeforeDestroy() noexcept {
  if (FBeforeDestroyDone) return;
  FBeforeDestroyDone = true;
  try {
    BeforeDestroy();
  } catch (...) {
  }
}

void TqvUdpClient::Open() { Open(FServer, FPort); }

void TqvUdpClient::Open(const std::string& AHost, int APort) {
  std::string ip;
  ResolveHost(AHost, FConnection->UseIpV6, ip);
  if (!FConnection->NetworkStream()) FConnection->SetNetworkStream(std::make_unique<TqvNetworkStream>());
  FConnection->Open(ip, APort);
}

void TqvUdpClient::Close() {
  if (FConnection->Active())
    FConnection->Close(false);
  else
    FConnection->CloseSocket();
}

bool TqvUdpClient::Active() const { return FConnection->Active(); }

void TqvUdpClient::SendPacket(TStream& AData) {
  FConnection->WriteData(&AData);
  DoSendPacket(AData);
}

void TqvUdpClient::ReceivePacket(TStream& AData) {
  const int64_t before = AData.Size();
  FConnection->ReadData(&AData);
  // An interrupted wait returns without a datagram.
  if (AData.Size() == before && FConnection->Aborted()) RaiseSocketError(qvTimeoutError);
  DoReceivePacket(AData);
}

void TqvUdpClient::Interrupt() { FConnection->Interrupt(); }

void TqvUdpClient::DoReceivePacket(TStream& AData) {
  if (OnReceivePacket) OnReceivePacket(this, AData);
}

void TqvUdpClient::DoSendPacket(TStream& AData) {
  if (OnSendPacket) OnSendPacket(this, AData);
}

void TqvUdpClient::SetServer(const std::string& Value) {
  if (FServer == Value) return;
  FServer = Value;
  Changed();
}

void TqvUdpClient::SetPort(int Value) {
  if (FPort == Value) return;
  FPort = Value;
  Changed();
}

void TqvUdpClient::SetCharSet(const std::string& Value) {
  if (FCharSet == Value) return;
  FCharSet = Value;
  Changed();
}

int TqvUdpClient::DatagramSize() const { return FConnection->BatchSize; }

void TqvUdpClient::SetDatagramSize(int Value) {
  if (FConnection->BatchSize == Value) return;
  FConnection->BatchSize = Value;
  Changed();
}

int TqvUdpClient::TimeOut() const { return FConnection->TimeOut; }

void TqvUdpClient::SetTimeOut(int Value) {
  if (FConnection->TimeOut == Value) return;
  FConnection->TimeOut = Value;
  Changed();
}

int TqvUdpClient::BitsPerSec() const { return FConnection->BitsPerSec; }

void TqvUdpClient::SetBitsPerSec(int Value) {
  if (FConnection->BitsPerSec == Value) return;
  FConnection->BitsPerSec = Value;
  Changed();
}

bool TqvUdpClient::UseIpV6() const { return FConnection->UseIpV6; }

void TqvUdpClient::SetUseIpV6(bool Value) {
  if (FConnection->UseIpV6 == Value) return;
  FConnection->UseIpV6 = Value;
  Changed();
}

const std::string& TqvUdpClient::LocalBinding() const { return FConnection->LocalBinding; }

void TqvUdpClient::SetLocalBinding(const std::string& Value) {
  if (FConnection->LocalBinding == Value) return;
  FConnection->LocalBinding = Value;
  Changed();
}
