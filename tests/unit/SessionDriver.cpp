#include "SessionDriver.h"

#include <stdexcept>

namespace testsupport {

namespace {

// The stream is made first so the session can keep a view of it.
std::unique_ptr<TqvMemoryNetworkStream> NewStream(TqvMemoryNetworkStream*& AView) {
  auto s = std::make_unique<TqvMemoryNetworkStream>();
  AView = s.get();
  return s;
}

}  // namespace

TMemorySession::TMemorySession(TqvTcpServer& AServer, const std::string& APeerIP)
    : FServer(AServer), FConnection(AServer.AcceptStream(NewStream(FStream), APeerIP)) {
  ReleaseIfClosed();
}

TMemorySession::~TMemorySession() {
  if (FConnection) {
    try {
      FServer.CloseConnection(FConnection.get());
    } catch (...) {
    }
  }
}

void TMemorySession::Send(const std::string& ABytes) {
  if (!FConnection) return;  // as bytes sent to a closed socket
  FStream->FeedInput(ABytes);
  Run();
}

void TMemorySession::EndInput() {
  if (!FConnection) return;
  FStream->EndInput();
  Run();
}

void TMemorySession::Run() {
  // A read takes a bounded share of the input; the rest stays in the stream
  // as it would in a socket, and the next item reads it.
  do {
    FServer.RunStreamReadItem(FConnection);
    // A switch to TLS replaces the stream with one that needs a socket.
    if (&FConnection->GetNetworkStream() != FStream)
      throw std::logic_error("a memory session cannot change its stream (TLS): run it over loopback");
  } while (FConnection->Active() && FStream->HasReadData());
  ReleaseIfClosed();
}

void TMemorySession::ReleaseIfClosed() {
  if (!FConnection || FConnection->Active()) return;
  FClosedOutput = FStream->Output();
  FStream = nullptr;
  FConnection.reset();
}

std::string TMemorySession::TakeOutput() {
  const std::string& all = FConnection ? FStream->Output() : FClosedOutput;
  std::string fresh = all.substr(FTaken);
  FTaken = all.size();
  return fresh;
}

std::string SessionOutput(TqvTcpServer& AServer, const std::string& AScript, bool AByteWise) {
  TMemorySession session(AServer);
  if (AByteWise) {
    for (char c : AScript) session.Send(std::string(1, c));
  } else {
    session.Send(AScript);
  }
  session.EndInput();
  return session.TakeOutput();
}

}  // namespace testsupport
