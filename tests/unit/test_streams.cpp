#include "Streams.h"

#include "StringList.h"
#include "SysError.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class StreamFile : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vx_streams_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string dir;
};

TEST(StreamBuffer, ShortTransfersRaise) {
  TStringStream s("12345");
  char buf[8];
  s.ReadBuffer(buf, 3);
  try {
    s.ReadBuffer(buf, 3);  // only 2 left
    FAIL();
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
  }
  s.SetPosition(0);
  EXPECT_EQ(s.Read(buf, 8), 5);
  EXPECT_EQ(s.Read(buf, 8), 0);
  EXPECT_THROW(s.Seek(-1, soFromBeginning), EStreamError);
}

TEST(StreamMemory, WritePastEndLeavesZeroGapAndShrinkMovesPosition) {
  TMemoryStream m;
  m.SetPosition(3);
  m.WriteBuffer("ab", 2);
  ASSERT_EQ(m.Size(), 5);
  EXPECT_EQ(std::string(m.Memory(), 5), std::string("\0\0\0ab", 5));
  m.SetSize(2);
  EXPECT_EQ(m.Position(), 2);
  EXPECT_EQ(m.Seek(-1, soFromEnd), 1);
}

TEST(StreamCopyFrom, ZeroCopiesAllFromStartOtherwiseFromPosition) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  TStringStream src(big);
  src.Seek(0, soFromEnd);
  TStringStream all;
  EXPECT_EQ(all.CopyFrom(src, 0), static_cast<int64_t>(big.size()));
  EXPECT_EQ(all.DataString(), big);

  src.SetPosition(10);
  TStringStream part;
  part.CopyFrom(src, 5);
  EXPECT_EQ(part.DataString(), big.substr(10, 5));

  src.SetPosition(big.size() - 2);
  EXPECT_THROW(part.CopyFrom(src, 3), EReadError);
}

TEST_F(StreamFile, OpenFailureCarriesNameAndSystemText) {
  const std::string missing = dir + "/no-such-file";
  try {
    TFileStream f(missing, fmOpenRead | fmShareDenyNone);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_STREQ(e.ClassName(), "EFOpenError");
    EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". " +
                               plat::SysErrorMessage(plat::ERROR_FILE_NOT_FOUND));
  }
  const std::string noDir = dir + "/no-dir/file";
  try {
    TFileStream f(noDir, fmCreate);
    FAIL();
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.ClassName(), "EFCreateError");
    EXPECT_EQ(e.Message().rfind("Cannot create file \"" + noDir + "\". ", 0), 0u) << e.Message();
  }
}

TEST_F(StreamFile, CreateTruncatesAndReadOnlyRefusesWrites) {
  const std::string name = dir + "/f";
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("hello world", 11);
    EXPECT_NE(fcntl(f.Handle(), F_GETFD) & FD_CLOEXEC, 0);
  }
  {
    TFileStream f(name, fmCreate | fmShareExclusive);
    f.WriteBuffer("hi", 2);
  }
  TFileStream f(name, fmOpenRead);
  EXPECT_EQ(f.Size(), 2);
  EXPECT_THROW(f.WriteBuffer("x", 1), EWriteError);
  TMemoryStream m;
  m.LoadFromStream(f);
  EXPECT_EQ(std::string(m.Memory(), 2), "hi");
}

TEST_F(StreamFile, StringListSavesTextAndLoadsItBack) {
  const std::string name = dir + "/list.txt";
  TStringList out;
  out.SetText("a\nb=c\n\nlast");
  out.SaveToFile(name);
  TMemoryStream raw;
  raw.LoadFromFile(name);
  EXPECT_EQ(std::string(raw.Memory(), static_cast<size_t>(raw.Size())), "a\r\nb=c\r\n\r\nlast\r\n");
  TStringList in;
  in.LoadFromFile(name);
  EXPECT_TRUE(in.Equals(out));
}

}  // namespace
