#pragma once
// The main frame: the 800 x 670 window "Lindra2" around the form, living in the
// tray. Its close button only hides it; the program ends through "종료" after the
// operator confirms. On a desktop without a tray the window stays visible and its
// close button asks to end the program, until a tray appears (a panel that starts
// late at login): the icon is added then and the window lives in the tray from then on.
#include <QMainWindow>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>

#include "app/server_controller.h"
#include "asker.h"
#include "main_form.h"

class QTimer;

namespace lindra::gui {

class TrayIcon;

inline constexpr std::chrono::milliseconds kTrayWatch{2000};

struct WindowHooks {
  std::function<void()> startWatchdog;
  std::function<void()> stopWatchdog;
  std::function<void(const QUrl&)> openUrl;
};

// GUI thread only.
class MainWindow final : public QMainWindow {
  Q_OBJECT
 public:
  // `trayAvailable` tells whether the desktop has a tray now; it is asked again every
  // kTrayWatch until it has one.
  MainWindow(ServerController& controller, Asker& asker, std::function<bool()> trayAvailable, QUrl remoteSupport,
             WindowHooks hooks);
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
  void AddTrayIcon();
  bool ConfirmAndStop();
  void PlaceWindow();

  ServerController& controller_;
  Asker& asker_;
  QUrl remoteSupport_;
  WindowHooks hooks_;
  MainForm* form_ = nullptr;
  std::unique_ptr<TrayIcon> tray_;
  QTimer* trayWatch_ = nullptr;  // runs while there is no tray
  bool started_ = false;
  bool allowClose_ = false;
  bool placed_ = false;
};

}  // namespace lindra::gui
