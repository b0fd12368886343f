// A stand-in service for the service control tests: takes its run lock,
// reports ready and follows the control signals, writing each state.
// Options make it misbehave:
//   --exit-early     exits 3 before taking the lock
//   --no-ready       takes the lock but never reports ready
//   --fail-start     writes STOPPED with exit code 1064 and a text, exits 1
//   --stop-only      accepts stop but not pause/continue
//   --stay-pending   stays in START_PENDING until killed
//   --linger-ms=N    after writing STOPPED, keeps the lock N ms more
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ServiceControl.h"
#include "SysError.h"

using namespace plat;

namespace {

bool Write(ServiceInstance& inst, uint32_t state, uint32_t accepted, uint32_t exitCode = 0,
           const std::string& text = std::string()) {
  SERVICE_STATUS s;
  s.dwCurrentState = state;
  s.dwControlsAccepted = accepted;
  s.dwWin32ExitCode = exitCode;
  return inst.WriteStatus(s, text);
}

}  // namespace

int main(int argc, char** argv) {
  bool exitEarly = false, noReady = false, failStart = false, stopOnly = false, stayPending = false;
  long lingerMs = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--exit-early") == 0) exitEarly = true;
    else if (strcmp(argv[i], "--no-ready") == 0) noReady = true;
    else if (strcmp(argv[i], "--fail-start") == 0) failStart = true;
    else if (strcmp(argv[i], "--stop-only") == 0) stopOnly = true;
    else if (strcmp(argv[i], "--stay-pending") == 0) stayPending = true;
    else if (strncmp(argv[i], "--linger-ms=", 12) == 0) lingerMs = strtol(argv[i] + 12, nullptr, 10);
  }

  sigset_t controls;
  sigemptyset(&controls);
  sigaddset(&controls, SIGTERM);
  sigaddset(&controls, SIGUSR1);
  sigaddset(&controls, SIGUSR2);
  sigprocmask(SIG_BLOCK, &controls, nullptr);

  const char* dir = getenv(kScmDirVariable);
  const char* name = getenv(kServiceNameVariable);
  if (dir == nullptr || name == nullptr) return 2;
  if (exitEarly) return 3;

  ServiceInstance inst(dir, name);
  if (!inst.Acquire()) return 4;
  if (!noReady) ReportServiceReady();
  if (!Write(inst, SERVICE_START_PENDING, 0)) return 5;
  if (failStart) {
    Write(inst, SERVICE_STOPPED, 0, ERROR_EXCEPTION_IN_SERVICE, "Cannot bind port 25:\r\naddress in use");
    return 1;
  }

  const uint32_t accepted = SERVICE_ACCEPT_STOP | (stopOnly ? 0 : SERVICE_ACCEPT_PAUSE_CONTINUE);
  if (!stayPending) Write(inst, SERVICE_RUNNING, accepted);
  for (;;) {
    int sig = 0;
    if (sigwait(&controls, &sig) != 0) return 6;
    if (stayPending) continue;
    if (sig == SIGUSR1) Write(inst, SERVICE_PAUSED, accepted);
    if (sig == SIGUSR2) Write(inst, SERVICE_RUNNING, accepted);
    if (sig == SIGTERM) break;
  }
  Write(inst, SERVICE_STOP_PENDING, 0);
  Write(inst, SERVICE_STOPPED, 0);
  if (lingerMs > 0) usleep(static_cast<useconds_t>(lingerMs) * 1000);
  return 0;
}
