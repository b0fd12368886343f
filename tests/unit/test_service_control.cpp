// The folder-based service database: registrations, run lock, status file,
// and starting and controlling a real detached program (fake_service).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ServiceControl.h"
#include "SysError.h"
#include "TestSupport.h"

using namespace plat;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testsupport::PollUntil;

namespace {

const std::string kFake = VX_TEST_BIN_DIR "/fake_service";

struct HandleCloser {
  void operator()(ScHandle* h) const { (void)CloseServiceHandle(h); }
};
using Handle = std::unique_ptr<ScHandle, HandleCloser>;

using testsupport::ReadFileBytes;


// The lock holder seen from outside, independent of the code under test.
pid_t LockHolder(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  pid_t pid = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK ? fl.l_pid : 0;
  close(fd);
  return pid;
}

// Fields after "pid (comm)" in /proc/PID/stat: state, ppid, pgrp, session.
std::vector<std::string> ProcStat(pid_t pid) {
  std::string s = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
  std::vector<std::string> fields;
  auto p = s.rfind(')');
  if (p == std::string::npos) return fields;
  std::istringstream in(s.substr(p + 1));
  for (std::string f; in >> f && fields.size() < 4;) fields.push_back(f);
  return fields;
}

// Gone, or a zombie its new parent has not reaped yet.
bool ProcessGone(pid_t pid) {
  if (kill(pid, 0) != 0) return true;
  auto f = ProcStat(pid);
  return f.empty() || f[0] == "Z";
}

std::string Link(const std::string& path) {
  std::error_code ec;
  return fs::read_symlink(path, ec).string();
}

// Processes started against this database (their environment names it).
std::vector<pid_t> PidsUsing(const std::string& db) {
  std::vector<pid_t> pids;
  std::string marker = std::string(kScmDirVariable) + "=" + db + '\0';
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    pid_t pid = atoi(e.path().filename().c_str());
    if (pid <= 0 || pid == getpid()) continue;
    if (ReadFileBytes(e.path() / "environ").find(marker) != std::string::npos) pids.push_back(pid);
  }
  return pids;
}

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vx_scm_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    db_ = root_ + "/db";
    if (const char* old = getenv(kScmDirVariable)) oldDir_ = old, hadDir_ = true;
    setenv(kScmDirVariable, db_.c_str(), 1);
    scm_.reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm_) << GetLastError();
  }

  void TearDown() override {
    scm_.reset();
    auto pids = PidsUsing(db_);
    for (pid_t p : pids) kill(p, SIGKILL);
    for (pid_t p : pids) EXPECT_TRUE(PollUntil([p] { return ProcessGone(p); })) << "pid " << p;
    if (hadDir_) setenv(kScmDirVariable, oldDir_.c_str(), 1);
    else unsetenv(kScmDirVariable);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  Handle Install(const std::string& name, const std::string& binary = kFake) {
    return Handle(CreateServiceA(scm_.get(), name.c_str(), ("Display " + name).c_str(), SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 binary.c_str()));
  }

  bool Start(ScHandle* h, std::vector<const char*> args = {}) {
    return StartServiceA(h, static_cast<uint32_t>(args.size()), args.data());
  }

  uint32_t State(ScHandle* h) {
    SERVICE_STATUS s;
    return QueryServiceStatus(h, &s) ? s.dwCurrentState : 0;
  }

  bool WaitState(ScHandle* h, uint32_t state) {
    return PollUntil([&] { return State(h) == state; });
  }

  std::string Path(const std::string& name, const char* ext) const { return db_ + "/" + name + ext; }

  std::string root_, db_, oldDir_;
  bool hadDir_ = false;
  Handle scm_;
};

using ServiceControlRegistry = ServiceControlTest;
using ServiceControlInstance = ServiceControlTest;
using ServiceControlLifecycle = ServiceControlTest;

// ---- registrations and handles ----

TEST_F(ServiceControlRegistry, CreateWritesRegistrationOnceAndRefusesDuplicate) {
  Handle svc = Install("mail");
  ASSERT_TRUE(svc) << GetLastError();
  const std::string expected =
      "[Service]\r\nDisplayName=Display mail\r\nBinaryPathName=" + kFake +
      "\r\nServiceType=16\r\nStartType=3\r\nErrorControl=1\r\n";
  EXPECT_EQ(ReadFileBytes(Path("mail", ".service")), expected);
  EXPECT_EQ(fs::status(Path("mail", ".service")).permissions(), fs::perms(0644));

  EXPECT_FALSE(Install("mail", "/other/program"));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(ReadFileBytes(Path("mail", ".service")), expected);

  std::string path;
  ASSERT_TRUE(QueryServiceBinaryPath(svc.get(), path));
  EXPECT_EQ(path, kFake);
}

TEST_F(ServiceControlRegistry, OpenAndDeleteFollowTheRegistration) {
  EXPECT_FALSE(OpenServiceA(scm_.get(), "mail", SERVICE_ALL_ACCESS));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  ASSERT_TRUE(Install("mail"));
  Handle a(OpenServiceA(scm_.get(), "mail", SERVICE_ALL_ACCESS));
  Handle b(OpenServiceA(scm_.get(), "mail", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(a && b);

  ASSERT_TRUE(DeleteService(a.get()));
  EXPECT_FALSE(fs::exists(Path("mail", ".service")));
  EXPECT_FALSE(DeleteService(a.get()));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FALSE(Start(a.get()));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FALSE(DeleteService(b.get()));  // the other handle only finds the file gone
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(Start(b.get()));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(OpenServiceA(scm_.get(), "mail", SERVICE_ALL_ACCESS));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_TRUE(Install("mail"));  // the name is free again
}

TEST_F(ServiceControlRegistry, RejectsBadNamesAndProgramPaths) {
  for (const char* name : {"", ".hidden", "..", "a/b", "../escape", "line\nbreak"}) {
    EXPECT_FALSE(Install(name)) << name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << name;
    EXPECT_FALSE(OpenServiceA(scm_.get(), name, SERVICE_ALL_ACCESS)) << name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << name;
  }
  for (const char* binary : {"", "relative/prog", "/bin/x\r\nStartType=2"}) {
    EXPECT_FALSE(Install("mail", binary)) << binary;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << binary;
  }
  EXPECT_TRUE(fs::is_empty(db_));
}

TEST_F(ServiceControlRegistry, InvalidHandlesAreRefused) {
  SERVICE_STATUS s;
  Handle svc = Install("mail");
  ASSERT_TRUE(svc);
  EXPECT_FALSE(QueryServiceStatus(nullptr, &s));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(QueryServiceStatus(scm_.get(), &s));  // a manager is not a service
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(OpenServiceA(svc.get(), "mail", SERVICE_ALL_ACCESS));  // nor the reverse
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseServiceHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  ScHandle* closed = svc.release();
  ASSERT_TRUE(CloseServiceHandle(closed));
  EXPECT_FALSE(CloseServiceHandle(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ControlService(closed, SERVICE_CONTROL_INTERROGATE, &s));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ServiceControlRegistry, DatabaseFolderComesFromEnvironment) {
  EXPECT_EQ(DatabaseFolder(), db_);
  std::string nested = root_ + "/a/b/services";
  setenv(kScmDirVariable, nested.c_str(), 1);
  Handle m(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(m) << GetLastError();
  EXPECT_EQ(fs::status(nested).permissions(), fs::perms(0755));
  EXPECT_EQ(fs::status(root_ + "/a").permissions(), fs::perms(0755));

  setenv(kScmDirVariable, "", 1);
  EXPECT_EQ(DatabaseFolder(), DefaultDatabaseFolder());
  if (geteuid() == 0) {
    EXPECT_EQ(DefaultDatabaseFolder(), "/var/lib/vxmail/services");
  } else {
    const char* old = getenv("XDG_STATE_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_STATE_HOME", "/x/state", 1);
    EXPECT_EQ(DefaultDatabaseFolder(), "/x/state/vxmail/services");
    old ? setenv("XDG_STATE_HOME", saved.c_str(), 1) : unsetenv("XDG_STATE_HOME");

    std::string locked = root_ + "/locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
    setenv(kScmDirVariable, (locked + "/db").c_str(), 1);
    EXPECT_FALSE(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  setenv(kScmDirVariable, db_.c_str(), 1);
}

TEST(ServiceControlErrors, TextsOfTheCodesThisLayerRaises) {
  const std::pair<uint32_t, const char*> table[] = {
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
      {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
      {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
      {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time."},
      {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
      {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
      {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
      {ERROR_SERVICE_EXISTS, "The specified service already exists."},
  };
  for (const auto& [code, text] : table) EXPECT_EQ(SysErrorMessage(code), text) << code;
}

// ---- the service's side, in this process ----

TEST_F(ServiceControlInstance, SecondAcquireInSameProcessKeepsTheLock) {
  ServiceInstance first(db_, "mail");
  ASSERT_TRUE(first.Acquire()) << GetLastError();
  {
    ServiceInstance second(db_, "mail");
    EXPECT_FALSE(second.Acquire());
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_FALSE(second.Held());
  }
  Handle svc = Install("mail");
  SERVICE_STATUS s;
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &s));  // must not open and close the lock file here
  EXPECT_TRUE(first.Held());

  // Only another process can see whether the lock survived.
  std::string lock = Path("mail", ".lock");
  pid_t child = fork();
  if (child == 0) _exit(LockHolder(lock) == getppid() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the lock was dropped";

  first.Release();
  EXPECT_FALSE(first.Held());
  EXPECT_EQ(LockHolder(lock), 0);
}

TEST_F(ServiceControlInstance, StatusFileIsReplacedWholeAndReadBack) {
  ServiceInstance inst(db_, "mail");
  ASSERT_TRUE(inst.Acquire());
  Handle svc = Install("mail");
  SERVICE_STATUS s;
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_START_PENDING);  // held, nothing written yet

  s.dwCurrentState = SERVICE_PAUSED;
  s.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
  s.dwCheckPoint = 7;
  s.dwWaitHint = 900;
  ASSERT_TRUE(inst.WriteStatus(s, "first line\r\nsecond\nthird"));
  const std::string text = ReadFileBytes(Path("mail", ".status"));
  EXPECT_NE(text.find("State=7\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Pid=" + std::to_string(getpid()) + "\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("LastError=first line  second third\r\n"), std::string::npos) << text;
  EXPECT_EQ(fs::status(Path("mail", ".status")).permissions(), fs::perms(0644));
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(db_)) ++files;
  EXPECT_EQ(files, 3u) << "a temporary file was left";

  SERVICE_STATUS q;
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &q));
  EXPECT_EQ(q.dwCurrentState, SERVICE_PAUSED);
  EXPECT_EQ(q.dwControlsAccepted, s.dwControlsAccepted);
  EXPECT_EQ(q.dwCheckPoint, 7u);
  EXPECT_EQ(q.dwWaitHint, 900u);
  std::string last;
  ASSERT_TRUE(QueryServiceLastErrorText(svc.get(), last));
  EXPECT_EQ(last, "first line  second third");

  // Once the lock is free the file's state no longer counts, its exit codes do.
  s.dwCurrentState = SERVICE_RUNNING;
  s.dwWin32ExitCode = ERROR_EXCEPTION_IN_SERVICE;
  s.dwServiceSpecificExitCode = 42;
  ASSERT_TRUE(inst.WriteStatus(s));
  inst.Release();
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &q));
  EXPECT_EQ(q.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(q.dwControlsAccepted, 0u);
  EXPECT_EQ(q.dwWin32ExitCode, ERROR_EXCEPTION_IN_SERVICE);
  EXPECT_EQ(q.dwServiceSpecificExitCode, 42u);
  EXPECT_FALSE(ControlService(svc.get(), SERVICE_CONTROL_INTERROGATE, &q));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(ServiceControlInstance, StatusFileFromElsewhereReadsFullCodesAndRefusesBadNumbers) {
  Handle svc = Install("mail");
  ASSERT_TRUE(svc);
  // Written by hand (LF ends, blanks, another key case): exit codes use all
  // 32 bits; signs other than "+", and values past 32 bits, read as 0.
  testsupport::WriteFileBytes(Path("mail", ".status"),
                              "[Status]\nState = 4\nwin32exitcode=4294967295\n"
                              "ServiceSpecificExitCode=-1\nPid=+0\nLastError= disk full \n");
  SERVICE_STATUS q;
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &q));
  EXPECT_EQ(q.dwCurrentState, SERVICE_STOPPED);  // no lock held
  EXPECT_EQ(q.dwWin32ExitCode, 4294967295u);
  EXPECT_EQ(q.dwServiceSpecificExitCode, 0u);
  std::string last;
  ASSERT_TRUE(QueryServiceLastErrorText(svc.get(), last));
  EXPECT_EQ(last, "disk full");

  testsupport::WriteFileBytes(Path("mail", ".status"), "[Status]\nWin32ExitCode=4294967296\n");
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &q));
  EXPECT_EQ(q.dwWin32ExitCode, 0u);

  // A registration without its program path cannot be started.
  testsupport::WriteFileBytes(Path("mail", ".service"), "[Service]\nDisplayName=x\n");
  EXPECT_FALSE(StartServiceA(svc.get(), 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ServiceControlInstance, ReportReadyWritesOneByteAndForgetsTheFd) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  setenv(kReadyFdVariable, std::to_string(p[1]).c_str(), 1);
  ReportServiceReady();
  EXPECT_EQ(getenv(kReadyFdVariable), nullptr);
  EXPECT_EQ(fcntl(p[1], F_GETFD), -1) << "the write end stayed open";
  char buf[4];
  EXPECT_EQ(read(p[0], buf, sizeof buf), 1);
  EXPECT_EQ(read(p[0], buf, sizeof buf), 0);
  close(p[0]);

  // White space and a sign before the number are read as strtol reads them.
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  setenv(kReadyFdVariable, (" \t+" + std::to_string(p[1])).c_str(), 1);
  ReportServiceReady();
  EXPECT_EQ(fcntl(p[1], F_GETFD), -1) << "a padded number was not read";
  EXPECT_EQ(read(p[0], buf, sizeof buf), 1);
  close(p[0]);

  // Not a pipe, or not a number: left alone.
  int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
  setenv(kReadyFdVariable, std::to_string(file).c_str(), 1);
  ReportServiceReady();
  EXPECT_NE(fcntl(file, F_GETFD), -1);
  close(file);
  for (const char* bad : {"3x", "3 ", "", "-1", "99999999999"}) {
    setenv(kReadyFdVariable, bad, 1);
    ReportServiceReady();
  }
  ReportServiceReady();  // twice is harmless
  EXPECT_EQ(getenv(kReadyFdVariable), nullptr);
}

// ---- starting and controlling a real program ----

TEST_F(ServiceControlLifecycle, StartRunsDetachedWithCleanDescriptors) {
  Handle svc = Install("mail");
  ASSERT_TRUE(svc);
  int leak = open("/dev/zero", O_RDONLY);  // deliberately inheritable
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(Start(svc.get())) << GetLastError();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  close(leak);

  pid_t pid = LockHolder(Path("mail", ".lock"));
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitState(svc.get(), SERVICE_RUNNING));
  SERVICE_STATUS s;
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &s));
  EXPECT_EQ(s.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);

  auto st = ProcStat(pid);
  ASSERT_EQ(st.size(), 4u);
  EXPECT_NE(std::stol(st[1]), getpid()) << "not detached from us";
  EXPECT_NE(std::stol(st[3]), getsid(0)) << "still in our session";
  std::string proc = "/proc/" + std::to_string(pid);
  EXPECT_EQ(Link(proc + "/cwd"), fs::canonical(VX_TEST_BIN_DIR).string());
  for (int fd : {0, 1, 2}) EXPECT_EQ(Link(proc + "/fd/" + std::to_string(fd)), "/dev/null") << fd;
  // Beyond 0-2 only the lock file; the service's folder fsync may show briefly.
  std::string lockFile = fs::canonical(Path("mail", ".lock")).string();
  std::string extra;
  EXPECT_TRUE(PollUntil([&] {
    extra.clear();
    for (const auto& e : fs::directory_iterator(proc + "/fd"))
      if (std::stoi(e.path().filename().string()) > 2 && Link(e.path()) != lockFile)
        extra += e.path().filename().string() + " -> " + Link(e.path()) + "; ";
    return extra.empty();
  })) << "leaked: " << extra;
  std::string env = ReadFileBytes(proc + "/environ");
  EXPECT_NE(env.find(std::string(kServiceNameVariable) + "=mail" + '\0'), std::string::npos);

  EXPECT_FALSE(Start(svc.get()));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_EQ(LockHolder(Path("mail", ".lock")), pid);
  ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_TRUE(PollUntil([pid] { return ProcessGone(pid); }));
}

TEST_F(ServiceControlLifecycle, PauseContinueStop) {
  Handle svc = Install("mail");
  ASSERT_TRUE(Start(svc.get())) << GetLastError();
  ASSERT_TRUE(WaitState(svc.get(), SERVICE_RUNNING));
  pid_t pid = LockHolder(Path("mail", ".lock"));

  SERVICE_STATUS s;
  ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_PAUSE, &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING);  // the state read before the signal
  ASSERT_TRUE(WaitState(svc.get(), SERVICE_PAUSED));
  ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_INTERROGATE, &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_PAUSED);
  ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_CONTINUE, &s));
  ASSERT_TRUE(WaitState(svc.get(), SERVICE_RUNNING));
  ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &s));
  ASSERT_TRUE(PollUntil([&] { return LockHolder(Path("mail", ".lock")) == 0; }));
  EXPECT_EQ(State(svc.get()), SERVICE_STOPPED);
  EXPECT_TRUE(PollUntil([pid] { return ProcessGone(pid); }));

  EXPECT_FALSE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(ServiceControlLifecycle, KilledServiceReadsStopped) {
  Handle svc = Install("mail");
  ASSERT_TRUE(Start(svc.get())) << GetLastError();
  ASSERT_TRUE(WaitState(svc.get(), SERVICE_RUNNING));
  pid_t pid = LockHolder(Path("mail", ".lock"));
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(WaitState(svc.get(), SERVICE_STOPPED));  // the file still says RUNNING
  SERVICE_STATUS s;
  EXPECT_FALSE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  ASSERT_TRUE(Start(svc.get())) << GetLastError();  // and it can start again
  EXPECT_NE(LockHolder(Path("mail", ".lock")), pid);
}

TEST_F(ServiceControlLifecycle, ControlsRefusedByState) {
  Handle a = Install("stoponly");
  ASSERT_TRUE(Start(a.get(), {"--stop-only"})) << GetLastError();
  ASSERT_TRUE(WaitState(a.get(), SERVICE_RUNNING));
  SERVICE_STATUS s;
  EXPECT_FALSE(ControlService(a.get(), SERVICE_CONTROL_PAUSE, &s));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_FALSE(ControlService(a.get(), 99, &s));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(State(a.get()), SERVICE_RUNNING);

  Handle b = Install("pending");
  ASSERT_TRUE(Start(b.get(), {"--stay-pending"})) << GetLastError();
  ASSERT_TRUE(PollUntil([&] { return ReadFileBytes(Path("pending", ".status")).find("Pid=0\r\n") == std::string::npos; }));
  EXPECT_FALSE(ControlService(b.get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(s.dwCurrentState, SERVICE_START_PENDING);
}

TEST_F(ServiceControlLifecycle, MissingBinaryReportsExecError) {
  Handle svc = Install("mail", db_ + "/no-such-program");
  ASSERT_TRUE(svc);
  EXPECT_FALSE(Start(svc.get()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(State(svc.get()), SERVICE_STOPPED);
  SERVICE_STATUS s;
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &s));
  EXPECT_EQ(s.dwWin32ExitCode, ERROR_FILE_NOT_FOUND);
  std::string text;
  ASSERT_TRUE(QueryServiceLastErrorText(svc.get(), text));
  EXPECT_NE(text.find("no-such-program"), std::string::npos) << text;
  EXPECT_TRUE(PidsUsing(db_).empty());
}

TEST_F(ServiceControlLifecycle, ProgramEndingBeforeItsLockIsAborted) {
  Handle svc = Install("mail");
  EXPECT_FALSE(Start(svc.get(), {"--exit-early"}));
  EXPECT_EQ(GetLastError(), ERROR_PROCESS_ABORTED);
  SERVICE_STATUS s;
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

TEST_F(ServiceControlLifecycle, FailedStartKeepsTheProgramsExitCodeAndText) {
  Handle svc = Install("mail");
  ASSERT_TRUE(Start(svc.get(), {"--fail-start"})) << GetLastError();  // it did take its lock
  ASSERT_TRUE(PollUntil([&] { return LockHolder(Path("mail", ".lock")) == 0; }));
  SERVICE_STATUS s;
  ASSERT_TRUE(QueryServiceStatus(svc.get(), &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, ERROR_EXCEPTION_IN_SERVICE);
  std::string text;
  ASSERT_TRUE(QueryServiceLastErrorText(svc.get(), text));
  EXPECT_EQ(text, "Cannot bind port 25:  address in use");
}

TEST_F(ServiceControlLifecycle, StartWithoutReadyByteReturnsOnceLocked) {
  Handle svc = Install("mail");
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(Start(svc.get(), {"--no-ready"})) << GetLastError();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  EXPECT_GT(LockHolder(Path("mail", ".lock")), 0);
}

TEST_F(ServiceControlLifecycle, StartWaitsForAnInstanceThatIsExiting) {
  Handle svc = Install("mail");
  ASSERT_TRUE(Start(svc.get(), {"--linger-ms=600"})) << GetLastError();
  ASSERT_TRUE(WaitState(svc.get(), SERVICE_RUNNING));
  pid_t first = LockHolder(Path("mail", ".lock"));
  SERVICE_STATUS s;
  ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &s));
  ASSERT_TRUE(WaitState(svc.get(), SERVICE_STOPPED));
  ASSERT_EQ(LockHolder(Path("mail", ".lock")), first) << "too slow to catch it exiting";
  ASSERT_TRUE(Start(svc.get())) << GetLastError();
  pid_t second = LockHolder(Path("mail", ".lock"));
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);
}

TEST_F(ServiceControlLifecycle, DeletedServiceKeepsRunningAndCanBeStopped) {
  Handle svc = Install("mail");
  ASSERT_TRUE(Start(svc.get())) << GetLastError();
  ASSERT_TRUE(WaitState(svc.get(), SERVICE_RUNNING));
  ASSERT_TRUE(DeleteService(svc.get()));
  EXPECT_EQ(State(svc.get()), SERVICE_RUNNING);
  SERVICE_STATUS s;
  ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_TRUE(PollUntil([&] { return LockHolder(Path("mail", ".lock")) == 0; }));
}

}  // namespace
