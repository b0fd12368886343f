#include "qvUserConnection.h"

#include <cstring>

#include "qvSocketUtils.h"

namespace {

// Compacting a sent prefix only once it is this large keeps the copy rare.
constexpr int64_t kCompactThreshold = 64 * 1024;
constexpr int kNotSocket = 10038;

}  // namespace

TqvUserConnection::TqvUserConnection() { UpdateActivity(); }

TqvUserConnection::~TqvUserConnection() {
  std::scoped_lock lock(FLock);
  CloseQuietly();
}

void TqvUserConnection::Accepted() {
  std::scoped_lock lock(FLock);
  FPeerClosed = false;
  FHandle = plat::HandleOfSocket(Socket().Socket());
  SetActive(true);
}

long TqvUserConnection::SelectEvents(plat::HWND AWindow, long AMask, long ATake) {
  std::scoped_lock lock(FLock);
  // A connection over a stream with no socket (a test's) has no events.
  if (!Active() || FHandle.load() == 0) return 0;
  FWindow = AWindow;
  FMask = AMask;
  long taken = 0;
  if (plat::WSAAsyncSelectTake(Socket().Socket(), AWindow, plat::WM_SOCKET_EVENT, AMask, ATake, &taken) != 0)
    RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError()));
  return taken;
}

bool TqvUserConnection::ReadData(TStream* AData) {
  std::scoped_lock lock(FLock);
  UpdateActivity();
  if (!AData) return true;
  if (!Active()) RaiseSocketLastError(kNotSocket);
  TqvNetworkStream& stream = GetNetworkStream();
  const bool result = stream.Read(AData);
  if (stream.NeedClose()) FPeerClosed = true;
  return result;
}

bool TqvUserConnection::WriteData(TStream* AData) {
  std::scoped_lock lock(FLock);
  if (!Active()) return true;
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
  if (FOutput.Position() >= FOutput.Size()) {
    FOutput.Clear();
    return true;
  }
  // An aborted connection stops early with bytes left; they go with the close.
  if (GetNetworkStream().Write(&FOutput) || FOutput.Position() >= FOutput.Size()) {
    FOutput.Clear();
    return true;
  }
  const int64_t pos = FOutput.Position();
  const int64_t size = FOutput.Size();
  if (pos >= kCompactThreshold) {
    // Drop the sent prefix; the unsent bytes keep their order.
    std::memmove(FOutput.Memory(), FOutput.Memory() + pos, static_cast<size_t>(size - pos));
    FOutput.SetSize(size - pos);
    FOutput.SetPosition(0);
  }
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
  if (Active() && FWindow != 0 && FMask != 0) SelectEvents(FWindow, FMask);
  return done;
}

bool TqvUserConnection::WriteDataAndClose(const std::string& AText) {
  TStringStream data(AText);
  return WriteDataAndClose(&data);
}

void TqvUserConnection::Close(bool ANotify) {
  std::scoped_lock lock(FLock);
  try {
    TqvConnection::Close(ANotify);
  } catch (...) {
    CloseSocket();
    throw;
  }
  CloseSocket();
}

int64_t TqvUserConnection::PendingOutput() {
  std::scoped_lock lock(FLock);
  return FOutput.Size() - FOutput.Position();
}
