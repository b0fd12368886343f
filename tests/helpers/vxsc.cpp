// vxsc: drives the service control layer from the command line, for the
// end-to-end tests.   vxsc start|stop|pause|continue|query|delete NAME
// Prints "state=<n> exit=<n> error=<text>" after the call; exit code 0 when
// the call succeeded, else 1 with "failed: <code> <text>" on stderr.
#include <cstdio>
#include <cstring>
#include <string>

#include "ServiceControl.h"
#include "SysError.h"

using namespace plat;

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: vxsc start|stop|pause|continue|query|delete NAME\n");
    return 2;
  }
  std::string verb = argv[1];
  auto fail = [] {
    uint32_t code = GetLastError();
    fprintf(stderr, "failed: %u %s\n", code, SysErrorMessage(code).c_str());
    return 1;
  };
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return fail();
  SC_HANDLE service = OpenServiceA(manager, argv[2], SERVICE_ALL_ACCESS);
  if (!service) return fail();
  bool ok = true;
  SERVICE_STATUS st;
  if (verb == "start") ok = StartServiceA(service, 0, nullptr);
  else if (verb == "stop") ok = ControlService(service, SERVICE_CONTROL_STOP, &st);
  else if (verb == "pause") ok = ControlService(service, SERVICE_CONTROL_PAUSE, &st);
  else if (verb == "continue") ok = ControlService(service, SERVICE_CONTROL_CONTINUE, &st);
  else if (verb == "delete") ok = DeleteService(service);
  else if (verb != "query") {
    fprintf(stderr, "unknown verb %s\n", verb.c_str());
    return 2;
  }
  int rc = ok ? 0 : fail();
  std::string error;
  if (QueryServiceStatus(service, &st)) {
    static_cast<void>(QueryServiceLastErrorText(service, error));
    printf("state=%u exit=%u error=%s\n", st.dwCurrentState, st.dwWin32ExitCode, error.c_str());
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}
