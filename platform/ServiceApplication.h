// The service framework: runs one service object as a detached service (when
// started by the service control layer) or in the foreground (from a
// terminal), and handles the "/install", "/uninstall" and "SILENT" switches.
//
// Threads: the calling (main) thread runs its message loop for the whole
// service life; a service thread runs OnStart, then obeys control codes (stop,
// pause, continue) and runs OnStop; a control thread turns signals into
// control codes (SIGTERM, SIGINT, SIGHUP stop; SIGUSR1 pause; SIGUSR2
// continue). Pause suspends only the service thread. PrepareProcess must run
// first in main, before any thread exists, so every thread inherits the
// blocked signal mask. A handler that raises is reported as "Service failed on
// %s: %s" to the event log (and stderr in the foreground) and the service stops;
// so does a task of the main loop ("run"), which also goes to OnMainLoopError.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "ClassCore.h"
#include "ServiceControl.h"

namespace plat {

class TService : public TComponent {
 public:
  explicit TService(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  VX_CLASS_NAME("TService")

  std::string DisplayName;
  uint32_t ServiceType = SERVICE_WIN32_OWN_PROCESS;
  uint32_t StartType = SERVICE_AUTO_START;
  uint32_t ErrorSeverity = SERVICE_ERROR_NORMAL;
  bool AllowStop = true;
  bool AllowPause = true;
  uint32_t WaitHint = 5000;

  // Run on the service thread. Clearing the flag (or raising) refuses the step.
  std::function<void(TService* Sender, bool& Started)> OnStart;
  std::function<void(TService* Sender, bool& Stopped)> OnStop;
  std::function<void(TService* Sender, bool& Paused)> OnPause;
  std::function<void(TService* Sender, bool& Continued)> OnContinue;
  // Run on the main thread when a task of its loop raised; the service is
  // then stopped in order and the program ends with a failure.
  std::function<void(TService* Sender, const std::exception& E)> OnMainLoopError;

  // The state last reported (SERVICE_STOPPED ... SERVICE_PAUSED). Any thread.
  uint32_t Status() const { return FStatus; }
  // Set by the framework as it reports each state.
  void SetStatus(uint32_t State) { FStatus = State; }

 private:
  std::atomic<uint32_t> FStatus{SERVICE_STOPPED};
};

class TServiceApplication {
 public:
  // Blocks the control signals in the calling thread (and so in every thread
  // made later) and ignores SIGPIPE.
  static void PrepareProcess();

  std::string Title;

  // Runs the program for the service and returns its exit code: 0 after a
  // clean stop or a successful switch, non-zero after a failure.
  int Run(int argc, char** argv, TService& Service);

 private:
  int Install(TService& Service, bool Silent);
  int Uninstall(TService& Service, bool Silent);
  int RunService(TService& Service, bool Detached);
};

}  // namespace plat
