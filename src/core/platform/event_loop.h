#pragma once
// The one event loop that serves every link, operator sender and timer of the server:
// an Asio io_context run by a small pool of threads. Each object that keeps state runs
// its handlers on a strand of the loop, so they never run at once, while slots and
// senders proceed side by side on the other threads.
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace lindra {

// Every object of the loop runs on a strand of it; so do its timers.
using Strand = asio::strand<asio::io_context::executor_type>;

// Constructed, started and stopped by one owner thread (the controller's); MakeStrand
// and the executor may be used from any thread. The pool lives from Start to Stop.
class EventLoop {
 public:
  // The pool size by the CTI worker rule, now for the whole loop: 2 x processors + 2.
  static size_t DefaultThreadCount();

  // threads == 0: DefaultThreadCount().
  explicit EventLoop(size_t threads = 0);
  ~EventLoop();  // Stop()
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Starts the pool (once). Work posted before Start waits for it.
  void Start();
  // Ends the pool after the handlers under way; queued work is dropped. Idempotent;
  // never call it from a loop thread.
  void Stop();

  asio::io_context& context() { return io_; }
  // A new strand: handlers posted through it run one at a time, in order.
  Strand MakeStrand();
  size_t threadCount() const { return threadCount_; }
  // Whether the calling thread is one of the pool's.
  bool InLoop() { return io_.get_executor().running_in_this_thread(); }

 private:
  const size_t threadCount_;
  asio::io_context io_;
  std::vector<std::thread> threads_;
  bool started_ = false;
};

// Runs `work` on `strand` and waits until it has run: for owner threads (the
// controller's) that need a loop object's answer or must know it has let go of a
// resource. Called from inside `strand` itself, or after the loop has stopped, `work`
// runs at once. Loop threads never wait for another strand this way (two of them
// could wait for each other).
void RunOn(const Strand& strand, const std::function<void()>& work);

}  // namespace lindra
