// The console's main window: the account list and editor, the settings pages
// (shown as loaded and read-only, since the save writes the settings as
// loaded), the status bar, and the save and service buttons. It edits the
// data module's accounts in place: row i always shows account i. Account
// texts are code page 936 bytes, converted only for display (AnsiText.h).
// The data module (DataModuleCreate already run), the dialogs and the
// service-control factory are borrowed and must outlive the form. A failed
// save is reported, never shown as success; the window saves once when it
// closes (FormDestroy). An account added since the last Save is unconfirmed:
// closing asks whether to keep such accounts, and a save that nobody asked
// about (FormDestroy without closing) leaves them out. The password edit
// echoes as a password field. GUI thread.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <vector>

#include "ConsoleDialogs.h"
#include "dmVxMailServersSettingsU.h"
#include "regServerU.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QWidget;
class QStatusBar;

namespace vxconsole {

using TServiceControlFactory = std::function<std::unique_ptr<IServiceControl>()>;

class TfrmVxMailStation : public QMainWindow {
  Q_OBJECT

 public:
  // Builds the controls and runs FormCreate. The service program is looked
  // for in the data module's program folder (the console's own).
  TfrmVxMailStation(TdmVxMailServersSettings& Data, IConsoleDialogs& Dialogs,
                    TServiceControlFactory ServiceControl, QWidget* Parent = nullptr);
  ~TfrmVxMailStation() override;

  void FormCreate();
  // Saves the settings (once; later calls do nothing), without unconfirmed
  // new accounts unless closing was told to keep them. Run by closing the
  // window, and by the program after its loop in case it ended otherwise.
  void FormDestroy();

  void AddUserItem(const std::string& DisplayName, const std::string& UserName, TqvMailUserAccountItem* Account);
  void lvUserListChange();
  void edtDisplayNameChange();
  void btnAddUserClick();
  void btnDeleteUserClick();
  void btnSaveClick();
  void btnRegServiceClick();
  void btnUninstallClick();
  void btnStartClick();
  void btnStopClick();
  void btnRestartClick();

  // The row the selection model holds, or -1 (never the current index,
  // which outlives a removed row).
  int SelectedRow() const;
  TqvMailUserAccountItem* RowAccount(int Row) const;
  std::string ServiceProgram() const;

 protected:
  void closeEvent(QCloseEvent* Event) override;

 private:
  void BuildControls();
  QWidget* BuildBanner();
  QWidget* BuildUserPage();
  QWidget* BuildSmtpPage();
  QWidget* BuildPortPage(const char* PageName, const char* EditName, QLineEdit*& Edit);
  QLineEdit* SettingEdit(const char* Name);
  void ShowAccount(const TqvMailUserAccountItem* Account);
  void SetRowTexts(int Row, const TqvMailUserAccountItem& Account);
  void RenumberRows();
  void RefreshCount();
  // Saves, then tells the user either Success or the error; true on success.
  bool SaveAndReport(const char* Success);
  // Runs one service button: its steps get a fresh control object, and any
  // exception ends them with the error message.
  void ServiceAction(const std::function<void(IServiceControl&)>& Steps);
  void RunServiceProgram(IServiceControl& Control, const char* Switch);
  void Tell(const char* Text, const QString& Detail = QString());
  // Removes the unconfirmed new accounts and their rows.
  void DropUnconfirmedAccounts();

  TdmVxMailServersSettings& FData;
  IConsoleDialogs& FDialogs;
  TServiceControlFactory FServiceControl;
  bool FDestroyed = false;
  // Accounts added since the last successful save; kept on closing only
  // when the user says so.
  std::vector<TqvMailUserAccountItem*> FUnconfirmed;
  bool FKeepUnconfirmed = false;

 public:
  // Controls, named as their objectName.
  QPushButton* btnSave = nullptr;
  QPushButton* btnRegService = nullptr;
  QPushButton* btnUninstall = nullptr;
  QPushButton* btnStart = nullptr;
  QPushButton* btnStop = nullptr;
  QPushButton* btnRestart = nullptr;
  QTabWidget* pcSettings = nullptr;
  QWidget* tsUserAccounts = nullptr;
  QTableWidget* lvUserList = nullptr;
  QLineEdit* edtDisplayName = nullptr;
  QLineEdit* edtUser = nullptr;
  QLineEdit* edtPassword = nullptr;
  QPushButton* btnAddUser = nullptr;
  QPushButton* btnDeleteUser = nullptr;
  QWidget* tsSmtp = nullptr;
  QLineEdit* edtSmtpPort = nullptr;
  QLineEdit* edtMailboxFolder = nullptr;
  QLineEdit* edtRelayFolder = nullptr;
  QLineEdit* edtBadFolder = nullptr;
  QLineEdit* edtDnsServer = nullptr;
  QLineEdit* edtRelayInterval = nullptr;
  QWidget* tsPop3 = nullptr;
  QLineEdit* edtPop3Port = nullptr;
  QWidget* tsImap = nullptr;
  QLineEdit* edtImapPort = nullptr;
  QStatusBar* sbMain = nullptr;
  QLabel* lblUserCount = nullptr;
};

}  // namespace vxconsole
