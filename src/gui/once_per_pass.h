#pragma once
// Work that a burst of events asks for many times but that needs doing once: asked
// for any number of times, it runs once, on the next pass of the GUI thread's event
// loop (a burst of calls scrolls the grid once, renders the message log once).
#include <QObject>
#include <QTimer>
#include <functional>
#include <utility>

namespace lindra::gui {

// GUI thread only; the work is dropped with `context`.
class OncePerPass {
 public:
  OncePerPass(QObject* context, std::function<void()> work) : context_(context), work_(std::move(work)) {}

  void Ask() {
    if (pending_) return;
    pending_ = true;
    QTimer::singleShot(0, context_, [this] {
      pending_ = false;
      work_();
    });
  }

 private:
  QObject* context_;
  std::function<void()> work_;
  bool pending_ = false;
};

}  // namespace lindra::gui
