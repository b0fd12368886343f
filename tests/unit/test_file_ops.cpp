// The shared file-system steps: durable replacement, the bounded reader and
// the folder stream.
#include "FileOps.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

std::vector<std::string> Names(plat::TDirStream& ADir) {
  std::vector<std::string> names;
  while (const dirent* e = ADir.Next()) names.emplace_back(e->d_name);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Names(const std::string& AFolder) {
  plat::TDirStream dir(AFolder);
  return Names(dir);
}

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

mode_t Mode(const std::string& APath) {
  struct stat st {};
  EXPECT_EQ(::lstat(APath.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(FileOpsReplace, FailedWriteLeavesTheOldFileWholeAndNoTemporary) {
  TempDir dir;
  const std::string path = dir.Dir() + "state.ini";
  WriteFileBytes(path, "old contents\r\n");
  {
    const testsupport::FileSizeLimit limit(4096);
    EXPECT_EQ(plat::ReplaceFile(path, std::string(100000, 'x'), {}), EFBIG);
  }
  EXPECT_EQ(ReadFileBytes(path), "old contents\r\n");
  // A failure after the write, before the rename: IniUpdate's test through its hook.
  EXPECT_EQ(Names(dir.Dir()), std::vector<std::string>{"state.ini"});
}

TEST(FileOpsReplace, ModeAsAskedLinksReplacedAndNoReplaceKeepsTheEntry) {
  TempDir dir;
  const std::string path = dir.Dir() + "mail.status";
  const std::string elsewhere = dir.Dir() + "elsewhere";
  WriteFileBytes(elsewhere, "not ours");
  ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
  plat::TReplaceOptions options;
  options.Mode = 0644;
  const mode_t oldMask = ::umask(077);  // the mode asked for is not narrowed
  const int error = plat::ReplaceFile(path, "State=4\r\n", options);
  ::umask(oldMask);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(ReadFileBytes(path), "State=4\r\n");
  EXPECT_EQ(Mode(path), 0644u);  // a regular file now, not the link
  EXPECT_EQ(ReadFileBytes(elsewhere), "not ours");

  options.NoReplace = true;
  EXPECT_EQ(plat::ReplaceFile(path, "State=1\r\n", options), EEXIST);
  EXPECT_EQ(ReadFileBytes(path), "State=4\r\n");
  EXPECT_EQ(plat::ReplaceFile(dir.Dir() + "mail.service", "[Service]\r\n", options), 0);
  EXPECT_EQ(ReadFileBytes(dir.Dir() + "mail.service"), "[Service]\r\n");
  EXPECT_EQ(Names(dir.Dir()), (std::vector<std::string>{"elsewhere", "mail.service", "mail.status"}));

  EXPECT_EQ(plat::ReplaceFile(dir.Dir() + "none/x.ini", "x", {}), ENOENT);
  EXPECT_EQ(plat::ReplaceFile(dir.Dir(), "x", {}), EINVAL);  // no file name
}

TEST(FileOpsRead, SmallFilesUpToTheLimitAndClearErrorsBeyond) {
  TempDir dir;
  const std::string path = dir.Dir() + "f";
  WriteFileBytes(path, std::string(70000, 'a'));  // more than one read
  std::string out = "stale";
  EXPECT_EQ(plat::ReadSmallFile(path, 70000, out), 0);
  EXPECT_EQ(out, std::string(70000, 'a'));
  EXPECT_EQ(plat::ReadSmallFile(path, 69999, out), EFBIG);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(plat::ReadSmallFile(dir.Dir() + "missing", 10, out), ENOENT);
  EXPECT_EQ(plat::ReadSmallFile(dir.Dir(), 10, out), EISDIR);
  WriteFileBytes(path, "");
  EXPECT_EQ(plat::ReadSmallFile(path, 0, out), 0);
  EXPECT_TRUE(out.empty());
}

TEST(FileOpsDirStream, SkipsDotEntriesStartsAtTheTopAndClosesItself) {
  TempDir dir;
  WriteFileBytes(dir.Dir() + "b.MSG", "");
  WriteFileBytes(dir.Dir() + ".hidden", "");
  ASSERT_EQ(::mkdir((dir.Dir() + "sub").c_str(), 0700), 0);
  const std::vector<std::string> all{".hidden", "b.MSG", "sub"};
  EXPECT_EQ(Names(dir.Dir()), all);

  plat::UniqueFd folder(::open(dir.Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(folder);
  const size_t before = OpenDescriptors();
  for (int pass = 0; pass < 2; ++pass) {
    plat::TDirStream stream(folder.Get());
    ASSERT_TRUE(stream.Valid());
    EXPECT_EQ(Names(stream), all) << "pass " << pass;
  }
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_NE(::fcntl(folder.Get(), F_GETFD), -1) << "the caller's descriptor was closed";

  plat::TDirStream missing(dir.Dir() + "none");
  EXPECT_FALSE(missing.Valid());
  EXPECT_EQ(missing.Error(), ENOENT);
  EXPECT_EQ(missing.Next(), nullptr);
  plat::TDirStream closed(-1);
  EXPECT_FALSE(closed.Valid());
  EXPECT_EQ(closed.Error(), EBADF);
}

}  // namespace
