#include "platform/event_loop.h"

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <future>

namespace lindra {

size_t EventLoop::DefaultThreadCount() { return 2 * std::max(1u, std::thread::hardware_concurrency()) + 2; }

EventLoop::EventLoop(size_t threads) : threadCount_(threads ? threads : DefaultThreadCount()) {}

EventLoop::~EventLoop() { Stop(); }

void EventLoop::Start() {
  if (started_) return;
  started_ = true;
  for (size_t i = 0; i < threadCount_; ++i) {
    threads_.emplace_back([this] {
      // Idle threads wait for work instead of leaving: the loop runs until Stop.
      auto guard = asio::make_work_guard(io_);
      for (;;) {
        try {
          io_.run();
          return;
        } catch (...) {
          // A handler that throws costs its own work only; the thread serves on.
        }
      }
    });
  }
}

void EventLoop::Stop() {
  io_.stop();
  for (auto& thread : threads_)
    if (thread.joinable()) thread.join();
  threads_.clear();
}

Strand EventLoop::MakeStrand() { return asio::make_strand(io_); }

void RunOn(const Strand& strand, const std::function<void()>& work) {
  // Inside the strand, or once the loop has ended (nothing else can run then): at once.
  if (strand.running_in_this_thread() || strand.get_inner_executor().context().stopped()) return work();
  std::promise<void> done;
  asio::post(strand, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace lindra
