#include "IniFile.h"

#include "ClassCore.h"
#include "FileOps.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

using plat::TIniFile;

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vx_ini_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    FDir = tmpl;
    FPath = FDir + "/VxMail.ini";
  }
  void TearDown() override {
    for (const auto& n : Entries()) ::unlink((FDir + "/" + n).c_str());
    ::rmdir(FDir.c_str());
  }

  void Put(const std::string& data) const { testsupport::WriteFileBytes(FPath, data); }
  std::string Get() const { return testsupport::ReadFileBytes(FPath); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    plat::TDirStream d(FDir);
    while (const dirent* e = d.Next()) names.push_back(e->d_name);
    return names;
  }
  mode_t Mode() const {
    struct stat st {};
    EXPECT_EQ(::stat(FPath.c_str(), &st), 0);
    return st.st_mode & 0777;
  }
  TIniFile Load(const std::string& data) const {
    Put(data);
    return TIniFile(FPath);
  }

  std::string FDir, FPath;
};

using IniRead = IniFileTest;
using IniWrite = IniFileTest;
using IniUpdate = IniFileTest;

TEST_F(IniRead, NamesMatchWithoutCaseAndFirstSectionAndKeyWin) {
  auto ini = Load(
      "[SMTP]\r\nPort=25\r\nport=26\r\nHost = mx.example.test \r\n"
      "[smtp]\r\nPort=2525\r\nExtra=1\r\n"
      "[ Pop3 ] trailing text\r\nPort=110\r\n");
  EXPECT_TRUE(ini.Exists());
  EXPECT_EQ(ini.ReadString("smtp", "PORT", "x"), "25");
  EXPECT_EQ(ini.ReadString("SMTP", "host", "x"), "mx.example.test");
  // Keys of the later duplicate section are not read.
  EXPECT_FALSE(ini.ValueExists("SMTP", "Extra"));
  EXPECT_EQ(ini.ReadString("POP3", "port", "x"), "110");
  EXPECT_FALSE(ini.SectionExists("IMAP"));
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"SMTP", "Pop3"}));
}

TEST_F(IniRead, ValuesAreTrimmedAndLoseOneMatchingQuotePair) {
  auto ini = Load(
      "[A]\n"
      "d=\"two words\"\n"
      "s= 'x' \n"
      "mixed=\"x'\n"
      "inner=\"\"q\"\"\n"
      "tab=\tv\t\n"
      "empty=\n"
      "lone=\"\n");
  EXPECT_EQ(ini.ReadString("A", "d", "-"), "two words");
  EXPECT_EQ(ini.ReadString("A", "s", "-"), "x");
  EXPECT_EQ(ini.ReadString("A", "mixed", "-"), "\"x'");
  EXPECT_EQ(ini.ReadString("A", "inner", "-"), "\"q\"");
  EXPECT_EQ(ini.ReadString("A", "tab", "-"), "v");
  EXPECT_EQ(ini.ReadString("A", "lone", "-"), "\"");
  // Present but empty is not missing.
  EXPECT_EQ(ini.ReadString("A", "empty", "-"), "");
  EXPECT_TRUE(ini.ValueExists("A", "empty"));
  EXPECT_EQ(ini.ReadString("A", "absent", "-"), "-");
}

TEST_F(IniRead, LineEndsBomCommentsAndKeysOutsideSections) {
  auto ini = Load("\xEF\xBB\xBF[A]\r\nx=1\r\n;y=2\r\n  ; z=3\r\nnoequals\r\nw=4\r\r\nlast=5");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(ini.ReadString("A", "x", "-"), "1");
  EXPECT_FALSE(ini.ValueExists("A", ";y"));
  EXPECT_FALSE(ini.ValueExists("A", "z"));
  EXPECT_EQ(ini.ReadString("A", "w", "-"), "4\r");  // only one CR is a line end
  EXPECT_EQ(ini.ReadString("A", "last", "-"), "5");

  auto orphan = Load("top=1\n[A]\nk=2\n");
  EXPECT_FALSE(orphan.ValueExists("", "top"));
  EXPECT_EQ(orphan.ReadString("A", "k", "-"), "2");
}

TEST_F(IniRead, IntegersAreStrictDecimal) {
  constexpr int kDef = 555;
  struct Case {
    const char* text;
    int expected;
  };
  const Case cases[] = {
      {"0", 0}, {"42", 42}, {"+42", 42}, {"-42", -42}, {" 17 ", 17}, {"\"9\"", 9}, {"007", 7},
      {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
      {"2147483648", kDef}, {"99999999999", kDef}, {"", kDef}, {"abc", kDef}, {"12x", kDef},
      {"0x10", kDef}, {"+", kDef}, {"-", kDef}, {"+-1", kDef}, {"--1", kDef}, {"1 2", kDef},
      {"1.5", kDef},
  };
  for (const auto& c : cases) {
    auto ini = Load(std::string("[N]\nv=") + c.text + "\n");
    EXPECT_EQ(ini.ReadInteger("N", "v", kDef), c.expected) << "text: '" << c.text << "'";
  }
}

TEST_F(IniWrite, ReplacingAKeyKeepsEveryOtherLineByteForByte) {
  const std::string before =
      "\xEF\xBB\xBF; settings\r\n"
      "[SMTP]\r\n"
      "  PORT = 25 ; old\r\n"
      "# not a comment here\r\n"
      "\r\n"
      "[smtp]\r\n"
      "port=99\r\n";
  auto ini = Load(before);
  ini.WriteString("Smtp", "port", "587");
  ini.UpdateFile();
  std::string expected = before;
  expected.replace(expected.find("  PORT = 25 ; old"), 17, "PORT=587");
  EXPECT_EQ(Get(), expected);
}

TEST_F(IniWrite, NewKeyGoesAfterLastKeyOfItsSection) {
  auto ini = Load("[A]\na=1\n; trailing note\n\n[B]\nb=1\n[Empty]\n[C]\n");
  ini.WriteString("a", "new", "x");
  ini.WriteString("EMPTY", "k", "v");
  ini.WriteString("D", "d", "1");
  ini.UpdateFile();
  EXPECT_EQ(Get(),
            "[A]\r\na=1\r\nnew=x\r\n; trailing note\r\n\r\n[B]\r\nb=1\r\n"
            "[Empty]\r\nk=v\r\n[C]\r\n[D]\r\nd=1\r\n");
}

TEST_F(IniWrite, ValuesWrittenAsGivenButLineBreaksBecomeBlanks) {
  auto ini = Load("");
  ini.WriteString("S", "quoted", "\"kept\"");
  ini.WriteString("S", "evil", "a\r\n[Other]\nx=1");
  ini.WriteString("S\n", "k\r", "v");
  ini.WriteInteger("S", "n", -12);
  ini.UpdateFile();
  EXPECT_EQ(Get(), "[S]\r\nquoted=\"kept\"\r\nevil=a  [Other] x=1\r\nk=v\r\nn=-12\r\n");
  TIniFile back(FPath);
  EXPECT_FALSE(back.SectionExists("Other"));
  EXPECT_EQ(back.ReadInteger("s", "N", 0), -12);
}

TEST_F(IniUpdate, RoundTripThroughAFile) {
  TIniFile ini(FPath);
  ASSERT_FALSE(ini.Exists());
  EXPECT_EQ(ini.ReadInteger("SMTP", "Port", 7), 7);
  ini.WriteString("Users", "Admin", "Jo Bloggs");
  ini.WriteInteger("SMTP", "Port", 25);
  ini.UpdateFile();
  EXPECT_TRUE(ini.Exists());

  TIniFile back(FPath);
  EXPECT_EQ(back.ReadString("users", "admin", ""), "Jo Bloggs");
  EXPECT_EQ(back.ReadInteger("smtp", "port", 0), 25);
  EXPECT_EQ(back.ReadSections(), (std::vector<std::string>{"Users", "SMTP"}));
}

TEST_F(IniUpdate, KeepsExistingModeAndCreatesNewFilesPrivate) {
  TIniFile fresh(FPath);
  fresh.WriteString("A", "b", "c");
  mode_t old = ::umask(0);
  fresh.UpdateFile();
  ::umask(old);
  EXPECT_EQ(Mode(), 0600u);

  ASSERT_EQ(::chmod(FPath.c_str(), 0640), 0);
  old = ::umask(077);  // the kept mode must not be narrowed by the umask
  TIniFile ini(FPath);
  ini.WriteString("A", "b", "d");
  ini.UpdateFile();
  ::umask(old);
  EXPECT_EQ(Mode(), 0640u);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"VxMail.ini"}));
}

TEST_F(IniUpdate, FailureBeforeRenameLeavesOldFileAndNoTemporary) {
  const std::string before = "[A]\nb=old\n";
  auto ini = Load(before);
  ini.WriteString("A", "b", "new");
  bool tempSeen = false;
  ini.BeforeRenameForTesting = [&] {
    tempSeen = Entries().size() == 2;
    throw std::runtime_error("stop");
  };
  EXPECT_THROW(ini.UpdateFile(), std::runtime_error);
  EXPECT_TRUE(tempSeen);
  EXPECT_EQ(Get(), before);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"VxMail.ini"}));

  ini.BeforeRenameForTesting = nullptr;
  ini.UpdateFile();
  EXPECT_EQ(Get(), "[A]\r\nb=new\r\n");
}

TEST_F(IniUpdate, MissingFolderRaisesOSError) {
  TIniFile ini(FDir + "/no/such/VxMail.ini");
  ini.WriteString("A", "b", "c");
  try {
    ini.UpdateFile();
    FAIL() << "no error";
  } catch (const EOSError& e) {
    EXPECT_TRUE(e.ErrorCode == 3 || e.ErrorCode == 2) << e.ErrorCode;
    EXPECT_FALSE(e.Message().empty());
  }
  EXPECT_FALSE(ini.Exists());
  EXPECT_EQ(::access((FDir + "/no").c_str(), F_OK), -1);
}

}  // namespace
