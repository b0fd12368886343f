// VxMailStation: the management console of the mail service.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <memory>

#include "ConsoleDialogs.h"
#include "VxMailStationTexts.h"
#include "dmVxMailServersSettingsU.h"
#include "frmVxMailStationU.h"
#include "regServerU.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void OnTerminate(int) {
  char c = 1;
  static_cast<void>(write(gSignalPipe[1], &c, 1));
}

// A session that ends (SIGTERM, SIGHUP) or Ctrl+C closes the window the
// ordinary way, so the settings are still saved on the way out.
void CloseOnSignals(QWidget& Window) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &Window);
  QObject::connect(notifier, &QSocketNotifier::activated, &Window, [&Window] {
    char c;
    static_cast<void>(read(gSignalPipe[0], &c, 1));
    Window.close();
  });
  struct sigaction action = {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : {SIGTERM, SIGHUP, SIGINT}) sigaction(s, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // The name, not the display name: Qt would append a display name to every
  // window title.
  QCoreApplication::setApplicationName(QString::fromUtf8(vxconsole::text::kApplicationTitle));

  TdmVxMailServersSettings dmVxMailServers;
  dmVxMailServers.DataModuleCreate();

  vxconsole::TQtConsoleDialogs dialogs;
  vxconsole::TfrmVxMailStation frmVxMailStation(dmVxMailServers, dialogs,
                                                [] { return std::make_unique<vxconsole::TService>(); });
  dialogs.SetParent(&frmVxMailStation);
  CloseOnSignals(frmVxMailStation);
  frmVxMailStation.show();
  int code = application.exec();
  // Closing the window has saved already; this covers a loop ended otherwise.
  frmVxMailStation.FormDestroy();
  return code;
}
