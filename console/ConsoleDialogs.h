// The console's message boxes behind a small interface, so tests can record
// what the user would be told and answer confirmations themselves (a modal
// box would block them). TQtConsoleDialogs is the real thing: plain boxes
// without an icon, titled with the application name; the confirmation has OK
// and Cancel. GUI thread only.
#pragma once

#include <QString>

class QWidget;

namespace vxconsole {

class IConsoleDialogs {
 public:
  virtual ~IConsoleDialogs() = default;
  // A plain message with an OK button; Detail (may be empty) is extra text
  // under it, such as a program's output or a system error.
  virtual void ShowMessage(const QString& Text, const QString& Detail) = 0;
  // True when the user chose OK.
  [[nodiscard]] virtual bool Confirm(const QString& Text, const QString& Caption) = 0;
};

class TQtConsoleDialogs : public IConsoleDialogs {
 public:
  // Parent: the window the boxes are modal to (may be null).
  explicit TQtConsoleDialogs(QWidget* Parent = nullptr) : FParent(Parent) {}
  void SetParent(QWidget* Parent) { FParent = Parent; }
  void ShowMessage(const QString& Text, const QString& Detail) override;
  [[nodiscard]] bool Confirm(const QString& Text, const QString& Caption) override;

 private:
  QWidget* FParent;
};

}  // namespace vxconsole
