// A client session with a protocol server over a memory stream, run on the
// calling thread: no port, no pool, no listener, no time-out. The server need
// not be started. Each Send feeds the bytes and runs the server's read items
// (read step, commands, write step) until it has taken all of them, so every
// reply the bytes call for is in TakeOutput when Send returns. Ending the
// input is the client's close. The session closes its connection (firing the
// server's close event) when destroyed, if the server has not; it must go
// before its server. One thread at a time.
#pragma once

#include <memory>
#include <string>

#include "qvNetworkStream.h"
#include "qvTcpServer.h"

namespace testsupport {

class TMemorySession {
 public:
  // Accepts from APeerIP (the greeting is in TakeOutput at once).
  explicit TMemorySession(TqvTcpServer& AServer, const std::string& APeerIP = "127.0.0.1");
  ~TMemorySession();
  TMemorySession(const TMemorySession&) = delete;
  TMemorySession& operator=(const TMemorySession&) = delete;

  // Feeds ABytes and runs read items while the stream holds unread input.
  void Send(const std::string& ABytes);
  // The client closes its side: the server sees the end of input.
  void EndInput();
  // What the server wrote since the last call.
  [[nodiscard]] std::string TakeOutput();
  // The server closed the connection (or refused it).
  [[nodiscard]] bool Closed() const { return !FConnection->Active(); }

  [[nodiscard]] TqvUserConnection& Connection() const { return *FConnection; }
  [[nodiscard]] TqvMemoryNetworkStream& Stream() const { return *FStream; }

 private:
  void Run();

  TqvTcpServer& FServer;
  TqvMemoryNetworkStream* FStream;  // owned by the connection
  TqvUserConnectionPtr FConnection;
  size_t FTaken = 0;
};

}  // namespace testsupport
