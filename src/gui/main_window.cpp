#include "main_window.h"

#include <QCloseEvent>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include "gui_texts.h"
#include "tray_icon.h"

namespace lindra::gui {

namespace {
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 670;
}  // namespace

MainWindow::MainWindow(ServerController& controller, Asker& asker, std::function<bool()> trayAvailable,
                       QUrl remoteSupport, WindowHooks hooks)
    : QMainWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint),
      controller_(controller),
      asker_(asker),
      remoteSupport_(std::move(remoteSupport)),
      hooks_(std::move(hooks)) {
  setWindowTitle(QString::fromUtf8(texts::kProgramName));
  setWindowIcon(ProgramIcon());
  form_ = new MainForm(controller_, asker_, this);
  setCentralWidget(form_);
  // The bar stays, as the frame of the form, but without the lock-key panes: neither
  // X11 under every desktop nor Wayland tells a program the lock state, and panes that
  // can only stay empty tell the operator nothing.
  statusBar()->setSizeGripEnabled(false);
  setFixedSize(kWindowWidth, kWindowHeight);

  if (trayAvailable()) {
    AddTrayIcon();
    return;
  }
  // No signal tells when a tray appears, so it is looked for at a calm pace.
  trayWatch_ = new QTimer(this);
  connect(trayWatch_, &QTimer::timeout, this, [this, trayAvailable = std::move(trayAvailable)] {
    if (!trayAvailable()) return;
    trayWatch_->stop();
    AddTrayIcon();
    if (started_) tray_->Show();
  });
  trayWatch_->start(kTrayWatch);
}

MainWindow::~MainWindow() = default;

void MainWindow::AddTrayIcon() {
  tray_ = std::make_unique<TrayIcon>(this);
  connect(tray_.get(), &TrayIcon::showRequested, this, [this] {
    show();
    raise();
    activateWindow();
  });
  connect(tray_.get(), &TrayIcon::hideRequested, this, &QWidget::hide);
  connect(tray_.get(), &TrayIcon::remoteSupportRequested, this, [this] {
    if (hooks_.openUrl) hooks_.openUrl(remoteSupport_);
  });
  connect(tray_.get(), &TrayIcon::exitRequested, this, &MainWindow::RequestExit);
  connect(form_, &MainForm::slotsShown, tray_.get(), &TrayIcon::ShowSlots);
  // Without a tray the window is the only way back in, so it hides itself only now.
  connect(form_, &MainForm::autoHideRequested, this, &QWidget::hide);
}

void MainWindow::Start() {
  started_ = true;
  if (tray_) tray_->Show();
  if (hooks_.startWatchdog) hooks_.startWatchdog();
  form_->Start();
  show();
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!placed_) {
    placed_ = true;
    PlaceWindow();
  }
}

// The outer frame is 800 x 670 (as far as the window system tells its frame size),
// centred in the screen's work area.
void MainWindow::PlaceWindow() {
  const QSize frameExtra = frameGeometry().size() - geometry().size();
  if (frameExtra.isValid() && !frameExtra.isEmpty()) {
    setFixedSize(kWindowWidth - frameExtra.width(), kWindowHeight - frameExtra.height());
  }
  if (const QScreen* s = screen()) {
    const QRect area = s->availableGeometry();
    move(area.x() + (area.width() - kWindowWidth) / 2, area.y() + (area.height() - kWindowHeight) / 2);
  }
}

bool MainWindow::ConfirmAndStop() {
  if (!asker_.Confirm(this, QString::fromUtf8(texts::kExitQuestion), Asker::Buttons::OkCancel)) return false;
  controller_.StopServer();
  allowClose_ = true;
  return true;
}

void MainWindow::RequestExit() {
  if (ConfirmAndStop()) close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!allowClose_) {
    if (tray_) {
      hide();
      event->ignore();
      return;
    }
    if (!ConfirmAndStop()) {
      event->ignore();
      return;
    }
  }
  if (hooks_.stopWatchdog) hooks_.stopWatchdog();
  event->accept();
  Q_EMIT exited();
}

}  // namespace lindra::gui
