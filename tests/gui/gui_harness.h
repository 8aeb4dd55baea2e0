#pragma once
// A whole window over a real ServerController in a temporary work and log folder,
// with message boxes answered by the test. Nothing leaves loopback: the statistics
// and configuration servers point at a closed local port and broadcasts at
// 127.255.255.255.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QUrl>
#include <deque>
#include <memory>

#include "app/server_controller.h"
#include "asker.h"
#include "main_window.h"
#include "queued_view.h"
#include "support/temp_dir.h"

namespace lindra::gui::testing {

// Records every message box; questions take the queued answers (true = OK / Yes),
// and a question nobody prepared an answer for is answered "no".
class FakeAsker final : public Asker {
 public:
  void Inform(QWidget*, const QString& text) override { informed << text; }
  bool Confirm(QWidget*, const QString& text, Buttons buttons) override {
    asked << text;
    askedButtons.push_back(buttons);
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }

  QStringList informed;
  QStringList asked;
  std::vector<Buttons> askedButtons;
  std::deque<bool> answers;
};

// The lindra.ini of a test: slot 1 and slot 2 in use (serial models 2 and 3 on
// COM1 / COM2), slots 3 and 4 free.
std::string TestConfig();

// A free TCP port on 127.0.0.1 (bound and released again).
int FreeLocalPort();

// The texts of the visible labels among `root`'s own children that are cut (their
// text is wider than they are) or covered by a visible field, list or button.
QStringList HiddenLabelTexts(QWidget& root);

// Hands every call to the form, except RunLater: the start timer's work waits
// for the test to run it, so no test depends on how long it takes.
class HeldTimerView final : public ControllerView {
 public:
  explicit HeldTimerView(ControllerView& form) : form_(form) {}
  void Publish(const ServerEvent& event) override { form_.Publish(event); }
  void RunLater(std::chrono::milliseconds delay, std::function<void()> work) override {
    held.emplace_back(delay, std::move(work));
  }

  std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> held;

 private:
  ControllerView& form_;
};

struct WindowOptions {
  bool trayAvailable = true;
  bool start = true;  // run MainWindow::Start (load, start decision)
};

class Harness {
 public:
  using Files = std::vector<std::pair<std::string, std::string>>;
  // Writes `files` (name -> bytes) into the work folder, then builds the window.
  explicit Harness(const Files& files = {{"lindra.ini", TestConfig()}}, WindowOptions options = {});
  ~Harness();

  // Runs queued events until `done` holds or the generous timeout passes.
  template <typename Condition>
  bool WaitFor(Condition done, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
      if (timer.elapsed() > timeoutMs) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
  }
  // Lets every call already queued for the GUI thread run.
  void Drain();
  // Chooses slot `index` in the device list as the operator does (as the automatic
  // connect does 1.5 s after start, which enables the DID table's add).
  void Select(int index);

  std::string ReadWorkFile(const std::string& name) const;
  MainForm& form() { return window->form(); }

  lindra::testing::TempDir work;
  lindra::testing::TempDir logs;
  FakeAsker asker;
  QueuedView view;
  std::unique_ptr<HeldTimerView> timers;
  std::unique_ptr<ServerController> controller;
  std::unique_ptr<MainWindow> window;
  bool trayAvailable = true;  // what the window is told when it looks for a tray
  int urlsOpened = 0;
  QUrl lastUrl;
  int watchdogStops = 0;
};

}  // namespace lindra::gui::testing
