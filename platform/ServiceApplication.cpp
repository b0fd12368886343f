#include "ServiceApplication.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "AsciiText.h"
#include "EventLog.h"
#include "MessageLoop.h"
#include "ProgramPath.h"
#include "SysError.h"
#include "UniqueFd.h"

namespace plat {
namespace {

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  return set;
}

bool HasSwitch(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if ((a[0] == '/' || a[0] == '-') && AsciiLowerCase(a + 1) == name) return true;
  }
  return false;
}

// Control codes handed from the control thread to the service thread.
class ControlQueue {
 public:
  void Push(uint32_t code) {
    {
      std::scoped_lock lock(FLock);
      FCodes.push_back(code);
    }
    FReady.notify_one();
  }
  uint32_t Pop() {
    std::unique_lock lock(FLock);
    FReady.wait(lock, [this] { return !FCodes.empty(); });
    uint32_t code = FCodes.front();
    FCodes.pop_front();
    return code;
  }

 private:
  std::mutex FLock;
  std::condition_variable FReady;
  std::deque<uint32_t> FCodes;
};

// Everything one run of the service shares between its three threads.
class ServiceRun {
 public:
  ServiceRun(TService& service, bool detached, ServiceInstance* instance)
      : FService(service), FDetached(detached), FInstance(instance), FMainQueue(TMessageQueue::Current()) {}

  int Execute();

 private:
  void ServiceThread();
  void ControlThread(int signalFd, int stopFd);
  void SetStatus(uint32_t state, uint32_t exitCode = 0, const std::string& errorText = std::string());
  // Reports a failed handler; returns the text reported.
  std::string Fail(const char* operation, const std::string& message);
  bool CallHandler(const std::function<void(TService*, bool&)>& handler, const char* operation);

  TService& FService;
  bool FDetached;
  ServiceInstance* FInstance;
  TMessageQueue& FMainQueue;
  ControlQueue FControls;
  uint32_t FExitCode = 0;
  std::string FLastError;
  uint32_t FCheckPoint = 0;
};

void ServiceRun::SetStatus(uint32_t state, uint32_t exitCode, const std::string& errorText) {
  FService.SetStatus(state);
  if (!FInstance) return;
  SERVICE_STATUS st;
  st.dwServiceType = FService.ServiceType;
  st.dwCurrentState = state;
  bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                 state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
    st.dwControlsAccepted = (FService.AllowStop ? SERVICE_ACCEPT_STOP : 0) |
                            (FService.AllowPause ? SERVICE_ACCEPT_PAUSE_CONTINUE : 0);
  }
  st.dwWin32ExitCode = exitCode;
  st.dwCheckPoint = pending ? ++FCheckPoint : 0;
  st.dwWaitHint = pending ? FService.WaitHint : 0;
  static_cast<void>(FInstance->WriteStatus(st, errorText));
}

std::string ServiceRun::Fail(const char* operation, const std::string& message) {
  std::string text = std::string("Service failed on ") + operation + ": " + message;
  ReportEvent(FService.Name(), EventType::Error, text);
  if (!FDetached) fprintf(stderr, "%s\n", text.c_str());
  return text;
}

bool ServiceRun::CallHandler(const std::function<void(TService*, bool&)>& handler, const char* operation) {
  bool ok = true;
  try {
    if (handler) handler(&FService, ok);
  } catch (const std::exception& e) {
    FLastError = Fail(operation, e.what());
    ok = false;
  } catch (...) {
    FLastError = Fail(operation, "unknown error");
    ok = false;
  }
  return ok;
}

void ServiceRun::ServiceThread() {
  if (!CallHandler(FService.OnStart, "start")) {
    FExitCode = ERROR_EXCEPTION_IN_SERVICE;
    FMainQueue.Quit(1);
    return;
  }
  SetStatus(SERVICE_RUNNING);
  for (;;) {
    uint32_t code = FControls.Pop();
    uint32_t state = FService.Status();
    if (code == SERVICE_CONTROL_STOP) {
      if (!FService.AllowStop) continue;
      SetStatus(SERVICE_STOP_PENDING);
      // A failing stop handler is reported; the service stops all the same.
      if (!CallHandler(FService.OnStop, "stop")) FExitCode = ERROR_EXCEPTION_IN_SERVICE;
      break;
    }
    if (code == SERVICE_CONTROL_PAUSE && state == SERVICE_RUNNING && FService.AllowPause) {
      SetStatus(SERVICE_PAUSE_PENDING);
      SetStatus(CallHandler(FService.OnPause, "pause") ? SERVICE_PAUSED : SERVICE_RUNNING, 0, FLastError);
    } else if (code == SERVICE_CONTROL_CONTINUE && state == SERVICE_PAUSED) {
      SetStatus(SERVICE_CONTINUE_PENDING);
      SetStatus(CallHandler(FService.OnContinue, "continue") ? SERVICE_RUNNING : SERVICE_PAUSED, 0, FLastError);
    }
  }
  FMainQueue.Quit(FExitCode == 0 ? 0 : 1);
}

void ServiceRun::ControlThread(int signalFd, int stopFd) {
  pollfd fds[2] = {{signalFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    signalfd_siginfo info;
    if (read(signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    switch (info.ssi_signo) {
      case SIGTERM:
      case SIGINT:
      case SIGHUP: FControls.Push(SERVICE_CONTROL_STOP); break;
      case SIGUSR1: FControls.Push(SERVICE_CONTROL_PAUSE); break;
      case SIGUSR2: FControls.Push(SERVICE_CONTROL_CONTINUE); break;
      default: break;
    }
  }
}

int ServiceRun::Execute() {
  SetStatus(SERVICE_START_PENDING);
  sigset_t set = ControlSignals();
  UniqueFd signalFd(signalfd(-1, &set, SFD_CLOEXEC));
  UniqueFd stopFd(eventfd(0, EFD_CLOEXEC));
  if (!signalFd || !stopFd) {
    std::string text = Fail("start", SysErrorMessage(SetLastErrorFromErrno()));
    SetStatus(SERVICE_STOPPED, ERROR_EXCEPTION_IN_SERVICE, text);
    return 1;
  }
  std::thread control([&] { ControlThread(signalFd.Get(), stopFd.Get()); });
  std::thread service([this] { ServiceThread(); });
  // The main loop ends only when the service thread has finished its stop,
  // so whatever the loop is running (a relay pass) is over before STOPPED.
  // A task that raises is reported and the service stopped; the loop goes on
  // until the stop is through, so both threads end before this returns.
  int code = 0;
  std::string runError;
  for (;;) {
    try {
      code = FMainQueue.Run();
      break;
    } catch (const std::exception& e) {
      if (runError.empty()) runError = Fail("run", e.what());
      try {
        if (FService.OnMainLoopError) FService.OnMainLoopError(&FService, e);
      } catch (...) {
        // Reporting must not end the stop.
      }
    } catch (...) {
      if (runError.empty()) runError = Fail("run", "unknown error");
    }
    FControls.Push(SERVICE_CONTROL_STOP);
  }
  service.join();
  if (!runError.empty()) {
    FExitCode = ERROR_EXCEPTION_IN_SERVICE;
    if (FLastError.empty()) FLastError = runError;
  }
  uint64_t one = 1;
  static_cast<void>(write(stopFd.Get(), &one, sizeof one));
  control.join();
  SetStatus(SERVICE_STOPPED, FExitCode, FLastError);
  return FExitCode == 0 ? code : 1;
}

}  // namespace

void TServiceApplication::PrepareProcess() {
  sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int TServiceApplication::Run(int argc, char** argv, TService& Service) {
  bool silent = HasSwitch(argc, argv, "silent");
  if (HasSwitch(argc, argv, "install")) return Install(Service, silent);
  if (HasSwitch(argc, argv, "uninstall")) return Uninstall(Service, silent);
  const char* marker = getenv(kServiceNameVariable);
  bool detached = marker && Service.Name() == marker;
  return RunService(Service, detached);
}

namespace {

// A handle of the service control layer, closed when it goes.
struct ScHandleCloser {
  void operator()(ScHandle* h) const { CloseServiceHandle(h); }
};
using ScOwned = std::unique_ptr<ScHandle, ScHandleCloser>;

int ReportSwitchFailure(const TService& Service, const char* verb) {
  std::string text = SysErrorMessage(GetLastError());
  fprintf(stderr, "Service \"%s\" failed to %s with error: \"%s\"\n", Service.Name().c_str(), verb, text.c_str());
  return 1;
}

}  // namespace

int TServiceApplication::Install(TService& Service, bool Silent) {
  ScOwned manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return ReportSwitchFailure(Service, "install");
  ScOwned service(CreateServiceA(manager.get(), Service.Name().c_str(), Service.DisplayName.c_str(),
                                 SERVICE_ALL_ACCESS, Service.ServiceType, Service.StartType, Service.ErrorSeverity,
                                 ProgramPath().c_str()));
  if (!service) return ReportSwitchFailure(Service, "install");
  if (!Silent) printf("Service installed successfully\n");
  return 0;
}

int TServiceApplication::Uninstall(TService& Service, bool Silent) {
  ScOwned manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return ReportSwitchFailure(Service, "uninstall");
  ScOwned service(OpenServiceA(manager.get(), Service.Name().c_str(), SERVICE_ALL_ACCESS));
  if (!service || !DeleteService(service.get())) return ReportSwitchFailure(Service, "uninstall");
  if (!Silent) printf("Service uninstalled successfully\n");
  return 0;
}

int TServiceApplication::RunService(TService& Service, bool Detached) {
  if (Detached) {
    // Started by the control layer: own session, no terminal, program folder.
    setsid();
    UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (null)
      for (int fd = 0; fd <= 2; ++fd) dup2(null.Get(), fd);
    static_cast<void>(chdir(ProgramFolder().c_str()));
  }
  ServiceInstance instance(DatabaseFolder(), Service.Name());
  ServiceInstance* held = nullptr;
  if (instance.Acquire()) {
    held = &instance;
    ReportServiceReady();
  } else if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING || Detached) {
    std::string text = SysErrorMessage(GetLastError());
    ReportEvent(Service.Name(), EventType::Error, "Service failed on start: " + text);
    if (!Detached) fprintf(stderr, "Service \"%s\": %s\n", Service.Name().c_str(), text.c_str());
    return 1;
  } else {
    // A foreground run without a usable service database still runs; the
    // console just cannot see it.
    fprintf(stderr, "Service \"%s\": no service database (%s); running unregistered\n", Service.Name().c_str(),
            SysErrorMessage(GetLastError()).c_str());
  }
  ServiceRun run(Service, Detached, held);
  return run.Execute();
}

}  // namespace plat
