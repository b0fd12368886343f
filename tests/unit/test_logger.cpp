// The log file is read by people and by scripts: its line layout, the header
// and the no-interleaving guarantee are what they rely on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "qvLogger.h"

namespace fs = std::filesystem;

namespace {

class TqvSmtpServerLike : public TObject {
 public:
  VX_CLASS_NAME("TqvSmtpServer")
};

class EqvEncoderErrorLike : public Exception {
 public:
  EqvEncoderErrorLike() : Exception("Wrong symbols in source stream.") {}
  VX_CLASS_NAME("EqvEncoderError")
};

using testsupport::ReadFileBytes;

std::vector<std::string> SplitCrLf(const std::string& s) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (size_t e; (e = s.find("\r\n", pos)) != std::string::npos; pos = e + 2) lines.push_back(s.substr(pos, e - pos));
  EXPECT_EQ(pos, s.size()) << "file does not end in CR LF";
  return lines;
}

const std::regex kLine(R"(^\d{2}-\d{2}-\d{4}:\d{2}-\d{2}-\d{2}-\d{3} (\S+) (\d+):(-?\d+) ([><=]) (.*)$)");

}  // namespace

TEST(Logger, HeaderOnceThenEntriesInTheLineLayout) {
  testsupport::TempDir dir;
  TqvLogger logger;
  logger.SetLogFile((fs::path(dir.Dir()) / "a.log").string());
  TqvSmtpServerLike server;
  logger.WriteMessage(&server, 2, "start");
  logger.WriteMessage(nullptr, 0, "queue");
  EqvEncoderErrorLike error;
  logger.WriteEntry(&server, 1, &error, "text");

  auto lines = SplitCrLf(ReadFileBytes(fs::path(dir.Dir()) / "a.log"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::string("Log started, build ") + VXMAIL_VERSION_TEXT);

  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[1], m, kLine)) << lines[1];
  EXPECT_EQ(m[1], "TqvSmtpServer");
  EXPECT_EQ(m[2], std::to_string(gettid()));
  EXPECT_EQ(m[3], std::to_string(reinterpret_cast<intptr_t>(&server)));
  EXPECT_EQ(m[4], "=");
  EXPECT_EQ(m[5], "start ");  // a plain entry ends in a blank

  ASSERT_TRUE(std::regex_match(lines[2], m, kLine)) << lines[2];
  EXPECT_EQ(m[1], "0");
  EXPECT_EQ(m[3], "0");
  EXPECT_EQ(m[4], ">");

  EXPECT_TRUE(lines[3].ends_with(" < text EqvEncoderError: Wrong symbols in source stream.")) << lines[3];
}

TEST(Logger, ChangingTheFileDoesNotRepeatTheHeader) {
  testsupport::TempDir dir;
  TqvLogger logger;
  logger.SetLogFile((fs::path(dir.Dir()) / "first.log").string());
  logger.WriteMessage(nullptr, 2, "one");
  logger.SetLogFile((fs::path(dir.Dir()) / "second.log").string());
  logger.WriteMessage(nullptr, 2, "two");
  EXPECT_EQ(SplitCrLf(ReadFileBytes(fs::path(dir.Dir()) / "first.log")).size(), 2u);
  auto second = SplitCrLf(ReadFileBytes(fs::path(dir.Dir()) / "second.log"));
  ASSERT_EQ(second.size(), 1u);
  EXPECT_TRUE(second[0].ends_with("= two "));
}

TEST(Logger, BadLevelAndUnwritableFileNeverRaiseAndKeepErrno) {
  testsupport::TempDir dir;
  TqvLogger logger;
  // A folder where the file should be: the open fails, even for root.
  fs::create_directory(fs::path(dir.Dir()) / "taken.log");
  logger.SetLogFile((fs::path(dir.Dir()) / "taken.log").string());
  errno = EAGAIN;
  EXPECT_NO_THROW(logger.WriteMessage(nullptr, 2, "lost"));
  EXPECT_EQ(errno, EAGAIN);

  logger.SetLogFile((fs::path(dir.Dir()) / "missing" / "x.log").string());
  EXPECT_NO_THROW(logger.WriteMessage(nullptr, 7, "lost"));
  EXPECT_EQ(errno, EAGAIN);

  logger.SetLogFile((fs::path(dir.Dir()) / "ok.log").string());
  logger.WriteMessage(nullptr, 7, "odd level");
  auto lines = SplitCrLf(ReadFileBytes(fs::path(dir.Dir()) / "ok.log"));
  ASSERT_EQ(lines.size(), 1u);  // the header went to the folder that failed
  EXPECT_NE(lines[0].find(" ? odd level "), std::string::npos);
}

TEST(Logger, NewFileIsPrivateAndExistingModeKept) {
  testsupport::TempDir dir;
  TqvLogger logger;
  logger.SetLogFile((fs::path(dir.Dir()) / "new.log").string());
  logger.WriteMessage(nullptr, 2, "x");
  struct stat st;
  ASSERT_EQ(stat((fs::path(dir.Dir()) / "new.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::ofstream(fs::path(dir.Dir()) / "old.log") << "kept\r\n";
  chmod((fs::path(dir.Dir()) / "old.log").c_str(), 0644);
  logger.SetLogFile((fs::path(dir.Dir()) / "old.log").string());
  logger.WriteMessage(nullptr, 2, "y");
  ASSERT_EQ(stat((fs::path(dir.Dir()) / "old.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_TRUE(ReadFileBytes(fs::path(dir.Dir()) / "old.log").starts_with("kept\r\n"));
}

TEST(Logger, ConcurrentWritersNeverInterleave) {
  testsupport::TempDir dir;
  TqvLogger logger;
  logger.SetLogFile((fs::path(dir.Dir()) / "c.log").string());
  const int kThreads = 8, kEntries = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEntries; ++i) logger.WriteMessage(nullptr, 2, "thread " + std::to_string(t) + " entry " + std::to_string(i));
    });
  for (auto& th : threads) th.join();

  auto lines = SplitCrLf(ReadFileBytes(fs::path(dir.Dir()) / "c.log"));
  ASSERT_EQ(lines.size(), 1u + kThreads * kEntries);
  std::vector<int> next(kThreads, 0);
  for (size_t i = 1; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, kLine)) << lines[i];
    int t, n;
    ASSERT_EQ(sscanf(m[5].str().c_str(), "thread %d entry %d ", &t, &n), 2);
    EXPECT_EQ(n, next[t]++) << "entries of one thread out of order";
  }
}

TEST(Logger, InstanceRequests) {
  TqvLogger* a = TqvLogger::Instance();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(TqvLogger::AccessInstance(0), a);
  EXPECT_EQ(TqvLogger::Instance(), a);
  try {
    TqvLogger::AccessInstance(3);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Illegal request 3 in AccessInstance");
  }
}
