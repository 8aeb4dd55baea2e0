#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <future>
#include <string>
#include <vector>

#include "platform/timer.h"
#include "support/fake_timers.h"

namespace lindra {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::FakeTimers;

TEST(EventLoopTest, StrandRunsItsWorkInOrderOneAtATimeAndRunOnWaitsForIt) {
  EventLoop loop(4);
  loop.Start();
  EXPECT_EQ(loop.threadCount(), 4u);
  const Strand strand = loop.MakeStrand();
  std::vector<int> order;  // touched only on the strand
  int inside = 0, overlaps = 0;
  for (int i = 0; i < 1000; ++i)
    asio::post(strand, [&, i] {
      overlaps += inside++ != 0;
      order.push_back(i);
      --inside;
    });
  std::vector<int> seen;
  RunOn(strand, [&] { seen = order; });
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(overlaps, 0);
  bool nested = false;
  RunOn(strand, [&] { RunOn(strand, [&] { nested = true; }); });  // from inside: at once
  EXPECT_TRUE(nested);
}

TEST(EventLoopTest, SteadyTimerFiresOnceOnItsStrandAndAStoppedOneNever) {
  EventLoop loop(2);
  loop.Start();
  const Strand strand = loop.MakeStrand();
  std::unique_ptr<Timer> fires, stopped, replaced;
  std::promise<std::string> result;
  std::string log;
  RunOn(strand, [&] {
    fires = SteadyTimerMaker::Instance().Create(strand);
    stopped = SteadyTimerMaker::Instance().Create(strand);
    replaced = SteadyTimerMaker::Instance().Create(strand);
    // Already due when stopped: the completion may be queued, and still never runs.
    stopped->Start(0ms, [&] { log += "stopped;"; });
    replaced->Start(0ms, [&] { log += "first arming;"; });
    replaced->Start(5ms, [&] { log += "second arming;"; });
    fires->Start(30ms, [&] {
      log += strand.running_in_this_thread() ? "fired on strand;" : "fired elsewhere;";
      result.set_value(log);
    });
    stopped->Stop();
    EXPECT_TRUE(fires->armed());
    EXPECT_FALSE(stopped->armed());
  });
  ASSERT_EQ(result.get_future().wait_for(10s), std::future_status::ready);
  RunOn(strand, [&] {
    EXPECT_EQ(log, "second arming;fired on strand;");
    EXPECT_FALSE(fires->armed());
    fires.reset();
    stopped.reset();
    replaced.reset();
  });
}

TEST(FakeTimersTest, AdvanceFiresDueTimersInOrderIncludingOnesArmedOnTheWay) {
  EventLoop loop(2);
  loop.Start();
  FakeClock clock;
  FakeTimers timers(&clock);
  const Strand strand = loop.MakeStrand();
  std::unique_ptr<Timer> a, b, c;
  std::string log;
  RunOn(strand, [&] {
    a = timers.Create(strand);
    b = timers.Create(strand);
    c = timers.Create(strand);
    a->Start(100ms, [&] {
      log += "a;";
      c->Start(50ms, [&] { log += "c;"; });  // due at 150, inside the same step
    });
    b->Start(120ms, [&] { log += "b;"; });
  });
  const std::chrono::milliseconds before = clock.Steady();
  EXPECT_EQ(timers.Advance(99ms), 0);
  EXPECT_EQ(timers.Advance(100ms), 3);
  EXPECT_EQ(clock.Steady() - before, std::chrono::milliseconds(199));
  RunOn(strand, [&] {
    EXPECT_EQ(log, "a;b;c;");
    b->Start(10ms, [&] { log += "late b;"; });
    b->Stop();
  });
  EXPECT_EQ(timers.Advance(1000ms), 0);
  RunOn(strand, [&] {
    a.reset();
    b.reset();
    c.reset();
  });
}

}  // namespace
}  // namespace lindra
