// The console form: filling from settings.ini, adding, editing and deleting
// accounts, saving (and failing to), and what it looks like.
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <QRawFont>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <set>

#include "ConsoleTestSupport.h"
#include "IniFile.h"
#include "VxMailStationTexts.h"

using namespace consoletest;
namespace text = vxconsole::text;

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

QStringList RowTexts(QTableWidget* list, int column) {
  QStringList out;
  for (int r = 0; r < list->rowCount(); ++r) out << list->item(r, column)->text();
  return out;
}

}  // namespace

class ConsoleForm : public ConsoleFixture {};

TEST_F(ConsoleForm, FillsListSettingsAndStatusFromTheFile) {
  WriteThreeAccounts();
  OpenForm();
  auto* list = Find<QTableWidget>("lvUserList");
  EXPECT_EQ(RowTexts(list, 0), QStringList({"1", "2", "3"}));
  EXPECT_EQ(RowTexts(list, 1), QStringList({U("张三"), U("李四"), U("王五")}));
  EXPECT_EQ(RowTexts(list, 2), QStringList({"zhang@example.test", "li@example.test", "wang@example.test"}));
  EXPECT_EQ(list->horizontalHeaderItem(1)->text(), U(text::kColumnDisplayName));
  EXPECT_EQ(Find<QLabel>("lblUserCount")->text(), "3");
  EXPECT_EQ(Find<QTabWidget>("pcSettings")->currentWidget(), Find<QWidget>("tsUserAccounts"));
  EXPECT_EQ(Form->windowTitle(), U("Fenwa邮件服务器"));

  // The settings pages show the strings as loaded, and cannot be typed into:
  // the save writes the settings as loaded.
  const std::pair<const char*, const char*> shown[] = {
      {"edtSmtpPort", "2525"},        {"edtMailboxFolder", "/q/box"}, {"edtRelayFolder", "/q/relay"},
      {"edtBadFolder", "/q/bad"},     {"edtDnsServer", "127.0.0.2"}, {"edtRelayInterval", "300"},
      {"edtPop3Port", "1110"},        {"edtImapPort", "1143"}};
  for (const auto& [name, value] : shown) {
    auto* edit = Find<QLineEdit>(name);
    EXPECT_EQ(edit->text(), value) << name;
    EXPECT_TRUE(edit->isReadOnly()) << name;
  }
  auto* port = Find<QLineEdit>("edtSmtpPort");
  QTest::keyClicks(port, "9");
  EXPECT_EQ(port->text(), "2525");
  for (const char* name : {"btnSave", "btnRegService", "btnUninstall", "btnStart", "btnStop", "btnRestart",
                           "btnAddUser", "btnDeleteUser", "edtDisplayName", "edtUser", "edtPassword", "tsSmtp",
                           "tsPop3", "tsImap", "sbMain"})
    EXPECT_NE(Form->findChild<QWidget*>(name), nullptr) << name;
}

TEST_F(ConsoleForm, AddingNamesNewAccountsByRowCountAndSelectsThem) {
  OpenForm();  // no settings.ini: no accounts
  auto* list = Find<QTableWidget>("lvUserList");
  Find<QPushButton>("btnAddUser")->click();
  Find<QPushButton>("btnAddUser")->click();
  ASSERT_EQ(Data->UserAccounts->Count(), 2);
  EXPECT_EQ(RowTexts(list, 1), QStringList({U("新用户0"), U("新用户1")}));
  EXPECT_EQ(Data->UserAccounts->Items(1)->UserName(), "\xd0\xc2\xd3\xc3\xbb\xa7" "1");  // 新用户1 in CP936
  EXPECT_EQ(Data->UserAccounts->Items(1)->Password(), "");
  EXPECT_EQ(Form->SelectedRow(), 1);
  EXPECT_EQ(Find<QLineEdit>("edtUser")->text(), U("新用户1"));
  EXPECT_EQ(Find<QLabel>("lblUserCount")->text(), "2");
  EXPECT_FALSE(Data->LoadingUser);
}

TEST_F(ConsoleForm, EditingChangesOnlyTheSelectedAccountAndKeepsUntouchedBytes) {
  // USER1's display name is not valid code page 936: it shows as "?" and must
  // come back byte for byte when only the password is edited.
  WriteSettings("[USERS]\r\nCount=2\r\n[USER0]\r\nDisplayName=A\r\nUserName=a@x\r\nPassword=pa\r\n"
                "[USER1]\r\nDisplayName=\xd5\xc5\xff\r\nUserName=b@x\r\nPassword=pb\r\n");
  OpenForm();
  auto* user = Find<QLineEdit>("edtUser");
  auto* password = Find<QLineEdit>("edtPassword");
  auto* display = Find<QLineEdit>("edtDisplayName");

  // Typing with nothing selected changes no account.
  user->setText("nobody@x");
  EXPECT_EQ(Data->UserAccounts->Items(0)->UserName(), "a@x");
  EXPECT_EQ(Data->UserAccounts->Items(1)->UserName(), "b@x");

  auto* list = Find<QTableWidget>("lvUserList");
  list->selectRow(1);
  EXPECT_EQ(user->text(), "b@x");
  password->setText("new");
  TqvMailUserAccountItem* b = Data->UserAccounts->Items(1);
  EXPECT_EQ(b->Password(), "new");
  EXPECT_EQ(b->DisplayName(), "\xd5\xc5\xff");
  user->setText(U("王五@x"));
  EXPECT_EQ(b->UserName(), std::string(kWangWu) + "@x");
  EXPECT_EQ(b->Email(), b->UserName());
  EXPECT_EQ(list->item(1, 2)->text(), U("王五@x"));
  display->setText(U("李四"));
  EXPECT_EQ(b->DisplayName(), kLiSi);
  EXPECT_EQ(list->item(1, 1)->text(), U("李四"));
  EXPECT_EQ(Data->UserAccounts->Items(0)->UserName(), "a@x");
  EXPECT_EQ(Data->UserAccounts->Items(0)->Password(), "pa");
}

TEST_F(ConsoleForm, DeleteAsksAndNeverWritesIntoAnotherAccount) {
  WriteThreeAccounts();
  OpenForm();
  auto* list = Find<QTableWidget>("lvUserList");
  auto* del = Find<QPushButton>("btnDeleteUser");

  del->click();  // nothing selected: no question, nothing deleted
  EXPECT_TRUE(Dialogs.Confirms.empty());

  list->selectRow(1);
  Dialogs.ConfirmAnswer = false;
  del->click();
  ASSERT_EQ(Dialogs.Confirms.size(), 1u);
  EXPECT_EQ(Dialogs.Confirms[0].Text, U(text::kConfirmDelete));
  EXPECT_EQ(Dialogs.Confirms[0].Detail, U(text::kConfirmCaption));
  EXPECT_EQ(Data->UserAccounts->Count(), 3);
  EXPECT_EQ(list->rowCount(), 3);

  Dialogs.ConfirmAnswer = true;
  del->click();
  ASSERT_EQ(Data->UserAccounts->Count(), 2);
  EXPECT_EQ(RowTexts(list, 0), QStringList({"1", "2"}));
  EXPECT_EQ(RowTexts(list, 1), QStringList({U("张三"), U("王五")}));
  EXPECT_EQ(Form->SelectedRow(), -1);
  EXPECT_EQ(Find<QLineEdit>("edtUser")->text(), "");
  EXPECT_EQ(Find<QLineEdit>("edtDisplayName")->text(), "");
  EXPECT_EQ(Find<QLabel>("lblUserCount")->text(), "2");
  // The neighbours keep every field (emptying the edits went nowhere).
  const TqvMailUserAccountItem* first = Data->UserAccounts->Items(0);
  const TqvMailUserAccountItem* next = Data->UserAccounts->Items(1);
  EXPECT_EQ(std::make_tuple(first->DisplayName(), first->UserName(), first->Password()),
            std::make_tuple(std::string(kZhangSan), std::string("zhang@example.test"), std::string("z1")));
  EXPECT_EQ(std::make_tuple(next->DisplayName(), next->UserName(), next->Password()),
            std::make_tuple(std::string(kWangWu), std::string("wang@example.test"), std::string("w1")));
  EXPECT_FALSE(Data->LoadingUser);

  // Deleting the last row leaves nothing selected either.
  list->selectRow(1);
  del->click();
  EXPECT_EQ(Form->SelectedRow(), -1);
  EXPECT_EQ(Data->UserAccounts->Items(0)->UserName(), "zhang@example.test");
}

TEST_F(ConsoleForm, SaveWritesEveryKeyKeepsStaleSectionsAndSaysSo) {
  WriteThreeAccounts();
  OpenForm();
  Find<QTableWidget>("lvUserList")->selectRow(0);
  Find<QPushButton>("btnDeleteUser")->click();
  Find<QPushButton>("btnSave")->click();
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.LastText(), U(text::kSaved));

  plat::TIniFile ini(SettingsFile());
  EXPECT_EQ(ini.ReadString("SMTP", "Port", ""), "2525");
  EXPECT_EQ(ini.ReadString("SMTP", "RelayDir", ""), "/q/relay");
  EXPECT_EQ(ini.ReadString("IMAP", "Port", ""), "1143");
  EXPECT_EQ(ini.ReadInteger("USERS", "Count", -1), 2);
  EXPECT_EQ(ini.ReadString("USER0", "DisplayName", ""), kLiSi);
  EXPECT_EQ(ini.ReadString("USER1", "UserName", ""), "wang@example.test");
  // Sections past the count stay (USER2 now holds the old third account).
  EXPECT_EQ(ini.ReadString("USER2", "UserName", ""), "wang@example.test");
  EXPECT_EQ(ini.ReadString("USER3", "UserName", ""), "old@example.test");
}

TEST_F(ConsoleForm, ClosingSavesOnceEvenWithoutSave) {
  WriteThreeAccounts();
  OpenForm();
  Form->close();
  plat::TIniFile ini(SettingsFile());
  ASSERT_TRUE(ini.Exists());
  EXPECT_EQ(ini.ReadInteger("USERS", "Count", -1), 3);
  EXPECT_TRUE(Dialogs.Messages.empty());
  EXPECT_TRUE(Dialogs.Confirms.empty());  // nothing new to ask about
  std::remove(SettingsFile().c_str());
  Form->FormDestroy();  // already done: no second write
  EXPECT_FALSE(plat::TIniFile(SettingsFile()).Exists());
}

// A half-made new account (an empty password) is never saved unasked:
// closing asks, Cancel leaves it out, OK keeps it; Save confirms it.
TEST_F(ConsoleForm, NewAccountsAreSavedOnCloseOnlyWhenConfirmed) {
  for (const bool keep : {false, true}) {
    OpenForm();
    Find<QPushButton>("btnAddUser")->click();
    Dialogs.ConfirmAnswer = keep;
    Form->close();
    ASSERT_EQ(Dialogs.Confirms.size(), 1u) << keep;
    EXPECT_EQ(Dialogs.Confirms[0].Text, U(text::kConfirmNewUsers));
    EXPECT_EQ(Dialogs.Confirms[0].Detail, U(text::kConfirmCaption));
    plat::TIniFile ini(SettingsFile());
    EXPECT_EQ(ini.ReadInteger("USERS", "Count", -1), keep ? 1 : 0) << keep;
    Dialogs.Confirms.clear();
    std::remove(SettingsFile().c_str());
  }

  // Saved on purpose: closing asks nothing and keeps it; a later addition
  // is asked about alone, and a save nobody was asked about leaves it out.
  OpenForm();
  Find<QPushButton>("btnAddUser")->click();
  Find<QPushButton>("btnSave")->click();
  Find<QPushButton>("btnAddUser")->click();
  Form->FormDestroy();
  EXPECT_TRUE(Dialogs.Confirms.empty());
  EXPECT_EQ(plat::TIniFile(SettingsFile()).ReadInteger("USERS", "Count", -1), 1);
  EXPECT_EQ(Find<QTableWidget>("lvUserList")->rowCount(), 1);
}

TEST_F(ConsoleForm, PasswordEchoesAsAPasswordField) {
  WriteThreeAccounts();
  OpenForm();
  Find<QTableWidget>("lvUserList")->selectRow(0);
  auto* password = Find<QLineEdit>("edtPassword");
  EXPECT_FALSE(password->text().isEmpty());
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  EXPECT_NE(password->displayText(), password->text());
}

TEST_F(ConsoleForm, FailedSaveReportsTheErrorOnSaveAndOnClose) {
  OpenForm(Folder() + "missing/");
  Find<QPushButton>("btnSave")->click();
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, U(text::kError));
  EXPECT_FALSE(Dialogs.Messages[0].Detail.isEmpty());
  Form->close();
  ASSERT_EQ(Dialogs.Messages.size(), 2u);
  EXPECT_EQ(Dialogs.Messages[1].Text, U(text::kError));
}

TEST_F(ConsoleForm, UnreadableSettingsAreNamedAndNeverOverwritten) {
  // Over the size the reader takes: it is there, but cannot be read.
  WriteThreeAccounts();
  std::filesystem::resize_file(SettingsFile(), 17u * 1024 * 1024);
  OpenForm();
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, U(text::kError));
  EXPECT_TRUE(Dialogs.Messages[0].Detail.contains(QString::fromStdString(SettingsFile())));
  Find<QPushButton>("btnAddUser")->click();
  Form->close();
  EXPECT_EQ(std::filesystem::file_size(SettingsFile()), 17u * 1024 * 1024);
  plat::TIniFile ini(SettingsFile());
  EXPECT_NE(ini.ReadError(), 0u);
}

TEST_F(ConsoleForm, ScreenshotShowsTheChineseCaptions) {
  WriteThreeAccounts();
  OpenForm();
  // Glyphs, not boxes: the font the captions resolve to has the characters.
  auto* banner = Find<QLabel>("lblBanner");
  QRawFont raw = QRawFont::fromFont(banner->font(), QFontDatabase::SimplifiedChinese);
  EXPECT_TRUE(raw.supportsCharacter(QChar(0x90AE))) << raw.familyName().toStdString();  // 邮

  Form->show();
  Find<QTableWidget>("lvUserList")->selectRow(0);
  QImage shot = Form->grab().toImage();
  ASSERT_FALSE(shot.isNull());
  std::set<QRgb> colours;
  for (int y = 0; y < shot.height(); y += 2)
    for (int x = 0; x < shot.width(); x += 2) colours.insert(shot.pixel(x, y));
  EXPECT_GT(colours.size(), 20u);
  // The banner title is drawn in dark ink over its light panel.
  QImage title = banner->grab().toImage();
  int dark = 0;
  for (int y = 0; y < title.height(); ++y)
    for (int x = 0; x < title.width(); ++x) dark += qGray(title.pixel(x, y)) < 96;
  EXPECT_GT(dark, 200);
  QDir().mkpath(VX_SCREENSHOT_DIR);
  EXPECT_TRUE(shot.save(QString(VX_SCREENSHOT_DIR) + "/console.png"));
  Find<QTabWidget>("pcSettings")->setCurrentIndex(1);
  EXPECT_TRUE(Form->grab().save(QString(VX_SCREENSHOT_DIR) + "/console-smtp.png"));
}
