// settings.ini that exists but cannot be read, and the mode of a saved one.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "IniFile.h"
#include "TestSupport.h"
#include "dmVxMailServersU.h"

namespace {

class SettingsAccess : public ::testing::Test {
 protected:
  std::string File() const { return Dir.Dir() + "settings.ini"; }
  testsupport::TempDir Dir;
};

}  // namespace

TEST_F(SettingsAccess, UnreadableFileIsNeitherMissingNorOverwritten) {
  // A folder in its place reads with an error, as a denied or failing file does.
  std::filesystem::create_directory(File());
  plat::TIniFile ini(File());
  EXPECT_FALSE(ini.Exists());
  EXPECT_NE(ini.ReadError(), 0u);
  ini.WriteString("USERS", "Count", "0");
  EXPECT_THROW(ini.UpdateFile(), EOSError);
  EXPECT_TRUE(std::filesystem::is_directory(File()));
  EXPECT_EQ(plat::TIniFile(Dir.Dir() + "missing.ini").ReadError(), 0u);

  TdmVxMailServersSettings settings(Dir.Dir(), Dir.Dir() + "VxMailStation");
  settings.DataModuleCreate();
  EXPECT_NE(settings.SettingsError().find(File()), std::string::npos) << settings.SettingsError();
  EXPECT_THROW(settings.SaveSettings(), EOSError);
  EXPECT_TRUE(std::filesystem::is_directory(File()));
}

TEST_F(SettingsAccess, OversizedFileStopsTheServiceStartAndKeepsItsBytes) {
  // Over what the reader takes: it must not read as "no settings".
  {
    std::ofstream out(File(), std::ios::binary);
    out << "[USERS]\r\nCount=1\r\n";
  }
  std::filesystem::resize_file(File(), 17u * 1024 * 1024);
  TdmVxMailServers service(Dir.Dir(), Dir.Dir() + "VxMailServers");
  service.DataModuleCreate();
  try {
    service.StartServers();
    FAIL() << "started";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(File()), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("too large"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(service.Serving());
  EXPECT_EQ(std::filesystem::file_size(File()), 17u * 1024 * 1024);
}

TEST_F(SettingsAccess, SavedSettingsAreReadableByTheOwnerOnly) {
  {
    std::ofstream out(File(), std::ios::binary);
    out << "[USERS]\r\nCount=0\r\n";
  }
  ::chmod(File().c_str(), 0644);
  TdmVxMailServersSettings settings(Dir.Dir(), Dir.Dir() + "VxMailStation");
  settings.DataModuleCreate();
  settings.UserAccounts->Add()->SetPassword("secret");
  settings.SaveSettings();
  struct stat st {};
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}
