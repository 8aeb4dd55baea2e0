#include "gui_harness.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

namespace lindra::gui::testing {

std::string TestConfig() {
  return "[DEVICE01]\r\nDEV_NAME=2\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=5100\r\n"
         "[DEVICE02]\r\nDEV_USE=Y\r\nDEV_NAME=3\r\nCOM_PORT=COM2\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.1\r\n"
         "LAN_PORT=5100\r\n"
         "[DEVICE03]\r\nDEV_USE=N\r\nDEV_NAME=0\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.1\r\n"
         "LAN_PORT=5100\r\n"
         "[DEVICE04]\r\nDEV_USE=N\r\nDEV_NAME=0\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\nLAN_IP=127.0.0.1\r\n"
         "LAN_PORT=5100\r\n"
         "\r\n[CLIENT]\r\nAREACODE=02\r\nPROG_PORT=7001\r\nCENTERID=C12345\r\nENCRYPTION=Y\r\n"
         "\r\n[LOG]\r\nPATH=c:\\brenvo\\Logs\r\n";
}

int FreeLocalPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

QStringList HiddenLabelTexts(QWidget& root) {
  const auto children = root.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  auto covers = [&root](const QWidget* control, const QLabel* label) {
    const bool input = qobject_cast<const QComboBox*>(control) || qobject_cast<const QLineEdit*>(control) ||
                       qobject_cast<const QAbstractButton*>(control);
    return input && control->isVisibleTo(&root) && control->geometry().intersects(label->geometry());
  };
  QStringList hidden;
  for (const QWidget* child : children) {
    const auto* label = qobject_cast<const QLabel*>(child);
    if (!label || !label->isVisibleTo(&root) || label->text().isEmpty()) continue;
    bool cut = label->sizeHint().width() > label->width();
    for (const QWidget* control : children) cut = cut || covers(control, label);
    if (cut) hidden << label->text();
  }
  return hidden;
}

Harness::Harness(const Files& files, WindowOptions options) {
  for (const auto& [name, bytes] : files) lindra::testing::WriteFile(work / name, bytes);
  ServerOptions server;
  server.workDir = work.path();
  server.logDir = logs.path();
  // A port nobody listens on: the start report fails at once, on loopback.
  const int closed = FreeLocalPort();
  server.statServer = {"127.0.0.1", closed};
  server.configServer = {"127.0.0.1", closed};
  server.broadcastAddress = "127.255.255.255";
  // Serial slots open nothing real: every port name leads to a path that does not exist.
  for (int n = 1; n <= 6; ++n) server.serialPaths["COM" + std::to_string(n)] = (work / "no-such-tty").string();
  server.remoteSupportUrl = "http://127.0.0.1/support";
  controller = std::make_unique<ServerController>(server, view);

  WindowHooks hooks;
  hooks.stopWatchdog = [this] { ++watchdogStops; };
  hooks.openUrl = [this](const QUrl& url) {
    ++urlsOpened;
    lastUrl = url;
  };
  trayAvailable = options.trayAvailable;
  window = std::make_unique<MainWindow>(
      *controller, asker, [this] { return trayAvailable; }, QUrl(QString::fromStdString(server.remoteSupportUrl)),
      hooks);
  timers = std::make_unique<HeldTimerView>(window->form());
  view.Attach(&window->form(), timers.get());
  if (options.start) {
    window->Start();
    Drain();
  }
}

Harness::~Harness() {
  view.Detach();
  controller->StopServer();
  window.reset();
  controller.reset();
}

void Harness::Drain() {
  // Posted calls may post further calls (a render scheduled by a message line).
  for (int pass = 0; pass < 3; ++pass) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Harness::Select(int index) {
  form().deviceList().setCurrentIndex(index);
  form().SelectDevice();
}

std::string Harness::ReadWorkFile(const std::string& name) const { return lindra::testing::ReadFile(work / name); }

}  // namespace lindra::gui::testing
