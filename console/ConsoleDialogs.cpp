#include "ConsoleDialogs.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace vxconsole {

void TQtConsoleDialogs::ShowMessage(const QString& Text, const QString& Detail) {
  QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), Text, QMessageBox::Ok, FParent);
  if (!Detail.isEmpty()) box.setInformativeText(Detail);
  box.exec();
}

bool TQtConsoleDialogs::Confirm(const QString& Text, const QString& Caption) {
  QMessageBox box(QMessageBox::NoIcon, Caption, Text, QMessageBox::Ok | QMessageBox::Cancel, FParent);
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec() == QMessageBox::Ok;
}

}  // namespace vxconsole
