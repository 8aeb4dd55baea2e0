#pragma once
// The main frame: the 800 x 670 window "Lindra2" around the form, living in the
// tray. Its close button only hides it; the program ends through "종료" after the
// operator confirms. On a desktop without a tray the window stays visible and its
// close button asks to end the program.
#include <QMainWindow>
#include <QUrl>
#include <functional>
#include <memory>

#include "app/server_controller.h"
#include "asker.h"
#include "main_form.h"

namespace lindra::gui {

class TrayIcon;

struct WindowHooks {
  std::function<void()> startWatchdog;
  std::function<void()> stopWatchdog;
  std::function<void(const QUrl&)> openUrl;
};

// GUI thread only.
class MainWindow final : public QMainWindow {
  Q_OBJECT
 public:
  MainWindow(ServerController& controller, Asker& asker, bool trayAvailable, QUrl remoteSupport, WindowHooks hooks);
  ~MainWindow() override;

  // First display: tray icon, watchdog, old logs, the server's load and start
  // decision, then the window is placed, titled and shown.
  void Start();
  // "종료": asks, stops the server and closes the window for good.
  void RequestExit();

  MainForm& form() { return *form_; }
  TrayIcon* tray() { return tray_.get(); }  // null without a system tray
  bool allowClose() const { return allowClose_; }

 Q_SIGNALS:
  // The server has stopped and the window closed: the program ends.
  void exited();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  bool ConfirmAndStop();
  void PlaceWindow();

  ServerController& controller_;
  Asker& asker_;
  QUrl remoteSupport_;
  WindowHooks hooks_;
  MainForm* form_ = nullptr;
  std::unique_ptr<TrayIcon> tray_;
  bool allowClose_ = false;
  bool placed_ = false;
};

}  // namespace lindra::gui
