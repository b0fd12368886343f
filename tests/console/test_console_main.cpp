// The console tests run the form in-process: one QApplication for all of
// them, on the offscreen platform unless the caller chose another.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "VxMailStationTexts.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  QCoreApplication::setApplicationName(QString::fromUtf8(vxconsole::text::kApplicationTitle));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
