#include "SessionDriver.h"

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
    : FServer(AServer), FConnection(AServer.AcceptStream(NewStream(FStream), APeerIP)) {}

TMemorySession::~TMemorySession() {
  if (FConnection->Active()) {
    try {
      FServer.CloseConnection(FConnection.get());
    } catch (...) {
    }
  }
}

void TMemorySession::Send(const std::string& ABytes) {
  FStream->FeedInput(ABytes);
  Run();
}

void TMemorySession::EndInput() {
  FStream->EndInput();
  Run();
}

void TMemorySession::Run() {
  // A read takes a bounded share of the input; the rest stays in the stream
  // as it would in a socket, and the next item reads it.
  do {
    FServer.RunStreamReadItem(FConnection);
  } while (FConnection->Active() && FStream->HasReadData());
}

std::string TMemorySession::TakeOutput() {
  const std::string& all = FStream->Output();
  std::string fresh = all.substr(FTaken);
  FTaken = all.size();
  return fresh;
}

}  // namespace testsupport
