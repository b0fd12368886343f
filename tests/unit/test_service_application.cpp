// The service framework run in the foreground of a child process: what
// happens when a task of the main loop raises.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "MessageLoop.h"
#include "ServiceApplication.h"
#include "ServiceControl.h"
#include "TestSupport.h"

namespace {

void Mark(const std::string& APath, const std::string& AText) { std::ofstream(APath, std::ios::app) << AText << "\n"; }

}  // namespace

TEST(ServiceApplication, MainLoopFailureIsReportedAndStopsTheServiceInOrder) {
  testsupport::TempDir dir;
  const std::string marks = dir.Dir() + "marks";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv(plat::kScmDirVariable, dir.Dir().c_str(), 1);
    plat::TServiceApplication::PrepareProcess();
    plat::TServiceApplication app;
    plat::TService service;
    service.SetName("VxRunFailure");
    plat::TMessageQueue& main = plat::TMessageQueue::Current();
    service.OnStart = [&](plat::TService*, bool&) {
      main.Post([] { throw std::runtime_error("relay pass broke"); });
    };
    service.OnStop = [&](plat::TService*, bool&) { Mark(marks, "stopped"); };
    service.OnMainLoopError = [&](plat::TService*, const std::exception& e) { Mark(marks, e.what()); };
    char name[] = "service";
    char* argv[] = {name, nullptr};
    _exit(app.Run(1, argv, service));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  // Not std::terminate: a failure code after an orderly stop.
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::ifstream in(marks);
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "relay pass broke");
  EXPECT_EQ(second, "stopped");
}
