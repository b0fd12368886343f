// A client session with a protocol server over a memory stream, run on the
// calling thread: no port, no pool, no listener, no time-out. The server need
// not be started. Each Send feeds the bytes and runs the server's read items
// (read step, commands, write step) until it has taken all of them, so every
// reply the bytes call for is in TakeOutput when Send returns. Ending the
// input is the client's close. Once the server has closed the connection the
// session lets it go, as a finished work item does, so whatever its handlers
// held (a spool) goes with it. The session closes the connection (firing the
// server's close event) when destroyed, if the server has not; it must go
// before its server. One thread at a time. No TLS: a switch to it raises
// std::logic_error at the next Send (such sessions run over loopback). Trap:
// a stream given a write capacity must not leave more than the output bound
// unsent, or the command waits for room that nothing on this thread makes.
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
  [[nodiscard]] bool Closed() const { return !FConnection; }

  // Both only while the connection is open.
  [[nodiscard]] TqvUserConnection& Connection() const { return *FConnection; }
  [[nodiscard]] TqvMemoryNetworkStream& Stream() const { return *FStream; }

 private:
  void Run();
  // Keeps the output and lets the connection go once it is closed.
  void ReleaseIfClosed();

  TqvTcpServer& FServer;
  TqvMemoryNetworkStream* FStream;  // owned by the connection
  TqvUserConnectionPtr FConnection;  // null once closed
  std::string FClosedOutput;         // all it wrote, once closed
  size_t FTaken = 0;
};

// Everything the server writes in a memory session that is fed AScript at
// once, or one byte at a time, and then ends its input.
[[nodiscard]] std::string SessionOutput(TqvTcpServer& AServer, const std::string& AScript, bool AByteWise);

}  // namespace testsupport
