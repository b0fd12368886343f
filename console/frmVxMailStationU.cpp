#include "frmVxMailStationU.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include "AnsiText.h"
#include "VxMailStationTexts.h"

namespace vxconsole {

namespace {

QString Utf8(const char* Text) { return QString::fromUtf8(Text); }

// Sets the data module's LoadingUser for a scope and puts the old value back:
// a nested selection handler must not clear it under an outer delete or add,
// or emptying the edits would write into the next account.
class TLoadingUser {
 public:
  explicit TLoadingUser(bool& Flag) : FFlag(Flag), FOld(Flag) { FFlag = true; }
  ~TLoadingUser() { FFlag = FOld; }
  TLoadingUser(const TLoadingUser&) = delete;
  TLoadingUser& operator=(const TLoadingUser&) = delete;

 private:
  bool& FFlag;
  bool FOld;
};

// No logo file ships with the console, so the banner draws its own envelope.
QPixmap DrawLogo(int Size) {
  QPixmap pixmap(Size, Size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QRectF body(Size * 0.06, Size * 0.2, Size * 0.88, Size * 0.6);
  p.setPen(QPen(QColor(0x1f, 0x4e, 0x8c), Size / 16.0));
  p.setBrush(QColor(0xf4, 0xf7, 0xfb));
  p.drawRoundedRect(body, Size * 0.06, Size * 0.06);
  QPolygonF flap;
  flap << body.topLeft() << QPointF(body.center().x(), body.top() + body.height() * 0.55) << body.topRight();
  p.drawPolyline(flap);
  return pixmap;
}

constexpr int kAccountRole = Qt::UserRole;

}  // namespace

TfrmVxMailStation::TfrmVxMailStation(TdmVxMailServersSettings& Data, IConsoleDialogs& Dialogs,
                                     TServiceControlFactory ServiceControl, QWidget* Parent)
    : QMainWindow(Parent), FData(Data), FDialogs(Dialogs), FServiceControl(std::move(ServiceControl)) {
  setObjectName("frmVxMailStation");
  BuildControls();
  FormCreate();
}

TfrmVxMailStation::~TfrmVxMailStation() = default;

// ---- Controls ----

void TfrmVxMailStation::BuildControls() {
  setWindowTitle(Utf8(text::kFormCaption));
  setWindowIcon(QIcon(DrawLogo(64)));

  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  outer->addWidget(BuildBanner());

  auto* body = new QHBoxLayout;
  pcSettings = new QTabWidget(central);
  pcSettings->setObjectName("pcSettings");
  pcSettings->addTab(BuildUserPage(), Utf8(text::kPageUsers));
  pcSettings->addTab(BuildSmtpPage(), Utf8(text::kPageSmtp));
  pcSettings->addTab(BuildPortPage("tsPop3", "edtPop3Port", edtPop3Port), Utf8(text::kPagePop3));
  tsPop3 = pcSettings->widget(2);
  pcSettings->addTab(BuildPortPage("tsImap", "edtImapPort", edtImapPort), Utf8(text::kPageImap));
  tsImap = pcSettings->widget(3);
  body->addWidget(pcSettings, 1);

  auto* buttons = new QVBoxLayout;
  auto button = [&](const char* name, const char* caption, void (TfrmVxMailStation::*handler)()) {
    auto* b = new QPushButton(Utf8(caption), central);
    b->setObjectName(name);
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, handler);
    buttons->addWidget(b);
    return b;
  };
  btnSave = button("btnSave", text::kSave, &TfrmVxMailStation::btnSaveClick);
  buttons->addSpacing(12);
  btnRegService = button("btnRegService", text::kRegService, &TfrmVxMailStation::btnRegServiceClick);
  btnUninstall = button("btnUninstall", text::kUninstall, &TfrmVxMailStation::btnUninstallClick);
  btnStart = button("btnStart", text::kStart, &TfrmVxMailStation::btnStartClick);
  btnStop = button("btnStop", text::kStop, &TfrmVxMailStation::btnStopClick);
  btnRestart = button("btnRestart", text::kRestart, &TfrmVxMailStation::btnRestartClick);
  buttons->addStretch(1);
  body->addLayout(buttons);
  outer->addLayout(body, 1);
  setCentralWidget(central);

  sbMain = new QStatusBar(this);
  sbMain->setObjectName("sbMain");
  sbMain->setSizeGripEnabled(false);
  auto panel = [&](const QString& caption, int stretch) {
    auto* l = new QLabel(caption, sbMain);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setMinimumWidth(l->fontMetrics().horizontalAdvance(caption) + 16);
    sbMain->addWidget(l, stretch);
    return l;
  };
  panel(Utf8(text::kStatusWelcome), 1);
  panel(Utf8(text::kStatusCountLabel), 0);
  lblUserCount = panel(QString(), 0);
  lblUserCount->setObjectName("lblUserCount");
  lblUserCount->setAlignment(Qt::AlignCenter);
  lblUserCount->setMinimumWidth(48);
  panel(Utf8(text::kStatusCountUnit), 0);
  setStatusBar(sbMain);
  resize(680, 460);
}

QWidget* TfrmVxMailStation::BuildBanner() {
  auto* banner = new QFrame(this);
  banner->setObjectName("pnlBanner");
  banner->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  banner->setAutoFillBackground(true);
  QPalette palette = banner->palette();
  palette.setColor(QPalette::Window, QColor(0xdd, 0xe8, 0xf5));
  banner->setPalette(palette);
  auto* layout = new QHBoxLayout(banner);
  auto* logo = new QLabel(banner);
  logo->setObjectName("imgLogo");
  logo->setPixmap(DrawLogo(48));
  auto* title = new QLabel(Utf8(text::kBanner), banner);
  title->setObjectName("lblBanner");
  QFont font = title->font();
  font.setPointSize(20);
  font.setBold(true);
  title->setFont(font);
  layout->addWidget(logo);
  layout->addWidget(title, 1);
  return banner;
}

QWidget* TfrmVxMailStation::BuildUserPage() {
  tsUserAccounts = new QWidget(this);
  tsUserAccounts->setObjectName("tsUserAccounts");
  auto* layout = new QHBoxLayout(tsUserAccounts);

  lvUserList = new QTableWidget(0, 3, tsUserAccounts);
  lvUserList->setObjectName("lvUserList");
  lvUserList->setHorizontalHeaderLabels(
      {Utf8(text::kColumnNumber), Utf8(text::kColumnDisplayName), Utf8(text::kColumnUserName)});
  lvUserList->verticalHeader()->hide();
  lvUserList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvUserList->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvUserList->setSelectionMode(QAbstractItemView::SingleSelection);
  lvUserList->setShowGrid(true);
  lvUserList->setColumnWidth(0, 48);
  lvUserList->horizontalHeader()->setStretchLastSection(true);
  connect(lvUserList, &QTableWidget::itemSelectionChanged, this, &TfrmVxMailStation::lvUserListChange);
  // A click on the row already selected shows it again, as a click does.
  connect(lvUserList, &QTableWidget::cellClicked, this, [this](int, int) { lvUserListChange(); });
  layout->addWidget(lvUserList, 1);

  auto* editor = new QVBoxLayout;
  auto* form = new QFormLayout;
  auto edit = [&](const char* name, const char* label) {
    auto* e = new QLineEdit(tsUserAccounts);
    e->setObjectName(name);
    connect(e, &QLineEdit::textChanged, this, &TfrmVxMailStation::edtDisplayNameChange);
    form->addRow(Utf8(label), e);
    return e;
  };
  edtDisplayName = edit("edtDisplayName", text::kLabelDisplayName);
  edtUser = edit("edtUser", text::kLabelUser);
  edtPassword = edit("edtPassword", text::kLabelPassword);
  edtPassword->setEchoMode(QLineEdit::Password);
  editor->addLayout(form);
  auto* row = new QHBoxLayout;
  btnAddUser = new QPushButton(Utf8(text::kAddUser), tsUserAccounts);
  btnAddUser->setObjectName("btnAddUser");
  btnDeleteUser = new QPushButton(Utf8(text::kDeleteUser), tsUserAccounts);
  btnDeleteUser->setObjectName("btnDeleteUser");
  connect(btnAddUser, &QPushButton::clicked, this, &TfrmVxMailStation::btnAddUserClick);
  connect(btnDeleteUser, &QPushButton::clicked, this, &TfrmVxMailStation::btnDeleteUserClick);
  row->addStretch(1);
  row->addWidget(btnAddUser);
  row->addWidget(btnDeleteUser);
  editor->addLayout(row);
  editor->addStretch(1);
  layout->addLayout(editor, 1);
  return tsUserAccounts;
}

// The settings edits show what was loaded; the save writes what was loaded,
// so they are read-only rather than silently dropping what is typed.
QLineEdit* TfrmVxMailStation::SettingEdit(const char* Name) {
  auto* e = new QLineEdit(this);
  e->setObjectName(Name);
  e->setReadOnly(true);
  return e;
}

QWidget* TfrmVxMailStation::BuildSmtpPage() {
  tsSmtp = new QWidget(this);
  tsSmtp->setObjectName("tsSmtp");
  auto* form = new QFormLayout(tsSmtp);
  form->addRow(Utf8(text::kLabelPort), edtSmtpPort = SettingEdit("edtSmtpPort"));
  form->addRow(Utf8(text::kLabelMailboxFolder), edtMailboxFolder = SettingEdit("edtMailboxFolder"));
  form->addRow(Utf8(text::kLabelRelayFolder), edtRelayFolder = SettingEdit("edtRelayFolder"));
  form->addRow(Utf8(text::kLabelBadFolder), edtBadFolder = SettingEdit("edtBadFolder"));
  form->addRow(Utf8(text::kLabelDnsServer), edtDnsServer = SettingEdit("edtDnsServer"));
  form->addRow(Utf8(text::kLabelRelayInterval), edtRelayInterval = SettingEdit("edtRelayInterval"));
  return tsSmtp;
}

QWidget* TfrmVxMailStation::BuildPortPage(const char* PageName, const char* EditName, QLineEdit*& Edit) {
  auto* page = new QWidget(this);
  page->setObjectName(PageName);
  auto* form = new QFormLayout(page);
  form->addRow(Utf8(text::kLabelPort), Edit = SettingEdit(EditName));
  return page;
}

// ---- Accounts ----

void TfrmVxMailStation::FormCreate() {
  edtSmtpPort->setText(FromAnsi(FData.SmtpPort));
  edtMailboxFolder->setText(FromAnsi(FData.MailboxDir));
  edtRelayFolder->setText(FromAnsi(FData.RelayDir));
  edtBadFolder->setText(FromAnsi(FData.BadDir));
  edtDnsServer->setText(FromAnsi(FData.DnsServer));
  edtRelayInterval->setText(FromAnsi(FData.RelayInterval));
  edtPop3Port->setText(FromAnsi(FData.Pop3Port));
  edtImapPort->setText(FromAnsi(FData.ImapPort));
  pcSettings->setCurrentIndex(0);
  {
    TLoadingUser loading(FData.LoadingUser);
    lvUserList->setRowCount(0);
    if (FData.UserAccounts)
      for (int i = 0; i < FData.UserAccounts->Count(); ++i) {
        TqvMailUserAccountItem* account = FData.UserAccounts->Items(i);
        AddUserItem(account->DisplayName(), account->UserName(), account);
      }
  }
  RefreshCount();
  // Shown defaults stand in for a file that exists but could not be read;
  // saving refuses to write over it.
  if (!FData.SettingsError().empty()) Tell(text::kError, QString::fromLocal8Bit(FData.SettingsError()));
}

void TfrmVxMailStation::AddUserItem(const std::string& DisplayName, const std::string& UserName,
                                    TqvMailUserAccountItem* Account) {
  int row = lvUserList->rowCount();
  lvUserList->insertRow(row);
  auto* number = new QTableWidgetItem(QString::number(row + 1));
  number->setData(kAccountRole, QVariant::fromValue(reinterpret_cast<quintptr>(Account)));
  lvUserList->setItem(row, 0, number);
  lvUserList->setItem(row, 1, new QTableWidgetItem(FromAnsi(DisplayName)));
  lvUserList->setItem(row, 2, new QTableWidgetItem(FromAnsi(UserName)));
}

int TfrmVxMailStation::SelectedRow() const {
  const QModelIndexList rows = lvUserList->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.first().row();
}

TqvMailUserAccountItem* TfrmVxMailStation::RowAccount(int Row) const {
  if (Row < 0 || Row >= lvUserList->rowCount() || !FData.UserAccounts) return nullptr;
  const QTableWidgetItem* number = lvUserList->item(Row, 0);
  if (!number) return nullptr;
  auto* account = reinterpret_cast<TqvMailUserAccountItem*>(number->data(kAccountRole).value<quintptr>());
  // Only an account still in the list is ever touched through a row.
  return FData.UserAccounts->IndexOf(account) >= 0 ? account : nullptr;
}

void TfrmVxMailStation::ShowAccount(const TqvMailUserAccountItem* Account) {
  edtUser->setText(Account ? FromAnsi(Account->UserName()) : QString());
  edtPassword->setText(Account ? FromAnsi(Account->Password()) : QString());
  edtDisplayName->setText(Account ? FromAnsi(Account->DisplayName()) : QString());
}

void TfrmVxMailStation::SetRowTexts(int Row, const TqvMailUserAccountItem& Account) {
  lvUserList->item(Row, 1)->setText(FromAnsi(Account.DisplayName()));
  lvUserList->item(Row, 2)->setText(FromAnsi(Account.UserName()));
}

void TfrmVxMailStation::RenumberRows() {
  for (int row = 0; row < lvUserList->rowCount(); ++row)
    if (QTableWidgetItem* number = lvUserList->item(row, 0)) number->setText(QString::number(row + 1));
}

void TfrmVxMailStation::RefreshCount() { lblUserCount->setText(QString::number(lvUserList->rowCount())); }

void TfrmVxMailStation::lvUserListChange() {
  TLoadingUser loading(FData.LoadingUser);
  ShowAccount(RowAccount(SelectedRow()));
}

void TfrmVxMailStation::edtDisplayNameChange() {
  if (FData.LoadingUser) return;
  int row = SelectedRow();
  TqvMailUserAccountItem* account = RowAccount(row);
  if (!account) return;
  // Only a field whose text really changed is encoded again: the others keep
  // their stored bytes, even ones that do not decode.
  account->SetDisplayName(KeepOrEncode(account->DisplayName(), edtDisplayName->text()));
  account->SetUserName(KeepOrEncode(account->UserName(), edtUser->text()));
  account->SetPassword(KeepOrEncode(account->Password(), edtPassword->text()));
  account->SetEmail(account->UserName());
  SetRowTexts(row, *account);
  RefreshCount();
}

void TfrmVxMailStation::btnAddUserClick() {
  {
    TLoadingUser loading(FData.LoadingUser);
    int rows = lvUserList->rowCount();
    std::string name = ToAnsi(Utf8(text::kNewUserName) + QString::number(rows));
    TqvMailUserAccountItem* account = FData.UserAccounts->Add();
    account->SetDisplayName(name);
    account->SetUserName(name);
    account->SetEmail(name);
    AddUserItem(name, name, account);
    FUnconfirmed.push_back(account);
    lvUserList->selectRow(rows);
    ShowAccount(account);
  }
  RefreshCount();
}

void TfrmVxMailStation::btnDeleteUserClick() {
  if (SelectedRow() < 0) return;
  if (!FDialogs.Confirm(Utf8(text::kConfirmDelete), Utf8(text::kConfirmCaption))) return;
  int row = SelectedRow();
  if (row < 0) return;
  {
    TLoadingUser loading(FData.LoadingUser);
    TqvMailUserAccountItem* account = RowAccount(row);
    // Selection and current index go first, so that removing the row cannot
    // hand the selection to a neighbour.
    lvUserList->selectionModel()->clear();
    if (account) {
      std::erase(FUnconfirmed, account);
      FData.UserAccounts->Delete(FData.UserAccounts->IndexOf(account));
    }
    lvUserList->removeRow(row);
    lvUserList->selectionModel()->clear();
    RenumberRows();
    ShowAccount(nullptr);
  }
  RefreshCount();
}

// ---- Saving ----

void TfrmVxMailStation::Tell(const char* Text, const QString& Detail) { FDialogs.ShowMessage(Utf8(Text), Detail); }

bool TfrmVxMailStation::SaveAndReport(const char* Success) {
  try {
    FData.SaveSettings();
  } catch (const std::exception& e) {
    Tell(text::kError, QString::fromLocal8Bit(e.what()));
    return false;
  }
  if (Success) Tell(Success);
  return true;
}

// Saving on purpose confirms every account added so far.
void TfrmVxMailStation::btnSaveClick() {
  if (SaveAndReport(text::kSaved)) FUnconfirmed.clear();
}

void TfrmVxMailStation::DropUnconfirmedAccounts() {
  if (FUnconfirmed.empty()) return;
  TLoadingUser loading(FData.LoadingUser);
  for (TqvMailUserAccountItem* account : FUnconfirmed) {
    for (int row = lvUserList->rowCount() - 1; row >= 0; --row)
      if (RowAccount(row) == account) lvUserList->removeRow(row);
    if (FData.UserAccounts && FData.UserAccounts->IndexOf(account) >= 0)
      FData.UserAccounts->Delete(FData.UserAccounts->IndexOf(account));
  }
  FUnconfirmed.clear();
  lvUserList->selectionModel()->clear();
  RenumberRows();
  ShowAccount(nullptr);
  RefreshCount();
}

void TfrmVxMailStation::FormDestroy() {
  if (FDestroyed) return;
  FDestroyed = true;
  if (!FKeepUnconfirmed) DropUnconfirmedAccounts();
  static_cast<void>(SaveAndReport(nullptr));
}

void TfrmVxMailStation::closeEvent(QCloseEvent* Event) {
  if (!FDestroyed && !FUnconfirmed.empty())
    FKeepUnconfirmed = FDialogs.Confirm(Utf8(text::kConfirmNewUsers), Utf8(text::kConfirmCaption));
  FormDestroy();
  Event->accept();
}

// ---- Service buttons ----

std::string TfrmVxMailStation::ServiceProgram() const { return FData.ProgramFolder() + kServiceProgram; }

void TfrmVxMailStation::ServiceAction(const std::function<void(IServiceControl&)>& Steps) {
  try {
    std::unique_ptr<IServiceControl> control = FServiceControl();
    Steps(*control);
  } catch (const std::exception& e) {
    Tell(text::kError, QString::fromLocal8Bit(e.what()));
  } catch (...) {
    // A GUI handler is the root here: nothing may leave it into Qt.
    Tell(text::kError);
  }
}

void TfrmVxMailStation::RunServiceProgram(IServiceControl& Control, const char* Switch) {
  TRunResult result = Control.RunProgram(ServiceProgram(), Switch, FData.ProgramFolder());
  // The program reports its own outcome in its exit code; its words go along.
  Tell(result.Started && result.ExitCode == 0 ? text::kSucceeded : text::kFailed, result.Output);
}

void TfrmVxMailStation::btnRegServiceClick() {
  ServiceAction([this](IServiceControl& c) {
    if (c.ServiceExists(kServiceName)) return Tell(text::kServiceExists);
    RunServiceProgram(c, "/install");
  });
}

void TfrmVxMailStation::btnUninstallClick() {
  ServiceAction([this](IServiceControl& c) {
    if (!c.ServiceExists(kServiceName)) return Tell(text::kServiceMissing);
    // Removing a service that would not stop (paused ones included) would
    // leave it running where the console can no longer reach it.
    if (c.ServiceActive(kServiceName) && !c.SetServiceState(kServiceName, soStop))
      return Tell(text::kFailed, QString::fromLocal8Bit(c.LastErrorText()));
    RunServiceProgram(c, "/uninstall");
  });
}

void TfrmVxMailStation::btnStartClick() {
  ServiceAction([this](IServiceControl& c) {
    if (!c.ServiceExists(kServiceName)) return Tell(text::kServiceMissing);
    if (c.ServiceRunning(kServiceName)) return Tell(text::kServiceAlreadyStarted);
    if (c.SetServiceState(kServiceName, soStart)) return Tell(text::kSucceeded);
    Tell(text::kFailed, QString::fromLocal8Bit(c.LastErrorText()));
  });
}

void TfrmVxMailStation::btnStopClick() {
  ServiceAction([this](IServiceControl& c) {
    if (!c.ServiceExists(kServiceName)) return Tell(text::kServiceMissing);
    // A paused service still holds its ports: it is stopped all the same.
    if (!c.ServiceActive(kServiceName)) return Tell(text::kServiceNotRunning);
    if (c.SetServiceState(kServiceName, soStop)) return Tell(text::kSucceeded);
    Tell(text::kFailed, QString::fromLocal8Bit(c.LastErrorText()));
  });
}

void TfrmVxMailStation::btnRestartClick() {
  ServiceAction([this](IServiceControl& c) {
    if (!c.ServiceExists(kServiceName)) return Tell(text::kServiceMissing);
    if (c.ServiceActive(kServiceName) && !c.SetServiceState(kServiceName, soStop))
      return Tell(text::kFailed, QString::fromLocal8Bit(c.LastErrorText()));
    if (c.SetServiceState(kServiceName, soStart)) return Tell(text::kSucceeded);
    Tell(text::kFailed, QString::fromLocal8Bit(c.LastErrorText()));
  });
}

}  // namespace vxconsole
