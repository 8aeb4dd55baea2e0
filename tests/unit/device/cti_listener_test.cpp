#include "device/cti_listener.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <random>
#include <stdexcept>

#include "config/slot_config.h"
#include "link_test_support.h"
#include "notify/agent_senders.h"
#include "text/strings.h"

namespace lindra {
namespace {

using namespace std::chrono_literals;
using testing::kPatience;

// What the listener hands over, from any thread.
class Sink {
 public:
  void Message(std::string_view message) {
    std::lock_guard lock(mutex_);
    messages_.emplace_back(message);
    changed_.notify_all();
  }
  void Log(DeviceLogKind kind, const std::string& text) {
    std::lock_guard lock(mutex_);
    log_.emplace_back(kind, text);
    changed_.notify_all();
  }
  bool WaitMessages(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return messages_.size() >= count; });
  }
  bool WaitMessage(std::string_view wanted) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience,
                             [&] { return std::find(messages_.begin(), messages_.end(), wanted) != messages_.end(); });
  }
  // Waits for a log entry of that kind beginning with `prefix`; returns it or "".
  std::string WaitLog(DeviceLogKind kind, std::string_view prefix) {
    std::unique_lock lock(mutex_);
    std::string found;
    changed_.wait_for(lock, kPatience, [&] {
      for (const auto& [k, text] : log_)
        if (k == kind && text.starts_with(prefix)) found = text;
      return !found.empty();
    });
    return found;
  }
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<std::string> Entries(DeviceLogKind kind) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> entries;
    for (const auto& [k, text] : log_)
      if (k == kind) entries.push_back(text);
    return entries;
  }
  bool Logged(DeviceLogKind kind, std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    for (const auto& [k, text] : log_)
      if (k == kind && text.starts_with(prefix)) return true;
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_;
  std::vector<std::pair<DeviceLogKind, std::string>> log_;
};

enum class Time { Real, Fake };

// A started listener, accepting as the channel runs it, on real time or on fake time
// (timers and the clock of the eviction).
struct Served {
  explicit Served(CtiLimits limits = {}, Time time = Time::Real, std::function<void(std::string_view)> onMessage = {})
      : listener(loop.loop, loop.strand,
                 time == Time::Fake ? static_cast<TimerMaker&>(loop.timers) : SteadyTimerMaker::Instance(),
                 time == Time::Fake ? static_cast<const Clock&>(loop.clock) : SystemClock::Instance(), limits) {
    result = listener.Start(1, 0);
    listener.Begin({.message = onMessage ? onMessage : [this](std::string_view m) { sink.Message(m); },
                    .log = [this](DeviceLogKind kind, const std::string& text) { sink.Log(kind, text); },
                    .event = [this](const LinkEvent&) { sink.Log(DeviceLogKind::Error, "(ended)"); }});
  }
  ~Served() { listener.Shutdown(); }
  UniqueFd Connect() const { return testing::ConnectTo(listener.port()); }

  testing::FakeTimeLoop loop;
  Sink sink;
  CtiListener listener;
  LinkResult result;
};

// "[CONTEXT:%x, SOCKET:%x]" of a "접속 끊김: [CONTEXT:%x, SOCKET:%x, RETURN:%d]" entry.
std::string Where(const std::string& ended) {
  const size_t from = ended.find('[');
  return ended.substr(from, ended.find(", RETURN:") - from) + "]";
}

// True when the server has not closed the connection (nothing to read, no end).
bool StillOpen(const UniqueFd& fd) {
  char byte;
  return ::recv(fd.get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// Reads until the server closes the connection; true when it did within the patience.
bool ClosedByServer(const UniqueFd& fd) {
  timeval patience{static_cast<time_t>(kPatience.count()), 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  char buffer[64];
  for (;;) {
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    if (n < 0) return false;
  }
}

TEST(CtiListener, StartTexts) {
  testing::FakeTimeLoop loop;
  CtiListener listener(loop.loop, loop.strand, loop.timers, loop.clock);
  EXPECT_EQ(listener.Start(4, 0), LinkResult::Opened("[WARN] DEV04 CTI - Listen CTI Event : 0"));
  EXPECT_TRUE(listener.IsListening());
  EXPECT_GT(listener.port(), 0);

  CtiListener second(loop.loop, loop.strand, loop.timers, loop.clock);
  EXPECT_EQ(second.Start(2, listener.port()), LinkResult::Failed("[ERR] DEV02 CTI - bind 실패 ErrNo:98", 98));
  EXPECT_FALSE(second.IsListening());
  // Cut to 16 bits this port would be 0, any free port.
  EXPECT_EQ(second.Start(3, 65536), LinkResult::Failed("[ERR] DEV03 CTI - bind 실패 ErrNo:22", 22));
  EXPECT_FALSE(second.IsListening());

  listener.Shutdown();
  EXPECT_FALSE(listener.IsListening());
  listener.Shutdown();
}

TEST(CtiListener, OneMessagePerConnectionThenClosed) {
  Served served;
  ASSERT_EQ(served.result, LinkResult::Opened("[WARN] DEV01 CTI - Listen CTI Event : 0"));
  UniqueFd client = served.Connect();
  ASSERT_TRUE(WriteAll(client.get(), "201,701,0212345678"));
  ASSERT_TRUE(served.sink.WaitMessage("201,701,0212345678"));
  EXPECT_TRUE(ClosedByServer(client));

  const std::string connected = served.sink.WaitLog(DeviceLogKind::Plain, "접속됨: ");
  EXPECT_TRUE(connected.starts_with("접속됨: [IP:127.0.0.1, CONTEXT:1, SOCKET:")) << connected;
  EXPECT_EQ(served.sink.WaitLog(DeviceLogKind::Plain, "받음: "), "받음: [CONTEXT:1, TOTAL:18, RECV:18]");
}

TEST(CtiListener, MessagesGoOnInAcceptOrderPastSilentPeers) {
  Served served;
  // Connected before the listener accepts them: their receives complete together, on
  // every thread of the loop, and must still be handed on in the order of the connects.
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 40; ++i) clients.push_back(served.Connect());
  // Two peers connect and say nothing (or only later): they give up their place.
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    if (i == 0 || i == 20) continue;
    expected.push_back(text::Format("203,705,03100000%02d", i));
    ASSERT_TRUE(WriteAll(clients[i].get(), expected.back()));
  }
  ASSERT_TRUE(served.sink.WaitMessages(expected.size()));
  EXPECT_EQ(served.sink.messages(), expected);
  // Handed on while the silent peers were still connected, not when they were closed.
  EXPECT_FALSE(served.sink.Logged(DeviceLogKind::Error, "접속 끊김: [CONTEXT:1,"));
  ASSERT_TRUE(WriteAll(clients[20].get(), "late"));
  EXPECT_TRUE(served.sink.WaitMessage("late"));
}

// A CTI program may open its connection long before it has the call to send: that
// message still arrives; only a connection that never speaks is closed, and says why.
TEST(CtiListener, ASilentPeerGivesUpItsPlaceAfterTheHoldALateOneIsHeardAndAnIdleOneIsClosedWithItsReason) {
  Served served({}, Time::Fake);
  UniqueFd silent = served.Connect();
  ASSERT_TRUE(served.loop.timers.WaitForArmed(2));  // its idle time and its place in the order
  UniqueFd late = served.Connect();
  ASSERT_TRUE(served.loop.timers.WaitForArmed(4));
  UniqueFd caller = served.Connect();
  ASSERT_TRUE(WriteAll(caller.get(), "201,701,02"));
  ASSERT_FALSE(served.sink.WaitLog(DeviceLogKind::Plain, "받음: [CONTEXT:3,").empty());
  EXPECT_EQ(served.loop.timers.Advance(199ms), 0);
  EXPECT_TRUE(served.sink.messages().empty()) << "handed on before the silent peers' turn was over";
  EXPECT_EQ(served.loop.timers.Advance(1ms), 2);
  EXPECT_TRUE(served.sink.WaitMessage("201,701,02"));

  EXPECT_EQ(served.loop.timers.Advance(19'800ms), 0);
  EXPECT_TRUE(StillOpen(late));
  ASSERT_TRUE(WriteAll(late.get(), "201,701,0220"));
  EXPECT_TRUE(served.sink.WaitMessage("201,701,0220"));
  EXPECT_TRUE(ClosedByServer(late));

  EXPECT_EQ(served.loop.timers.Advance(99'999ms), 0);
  EXPECT_TRUE(StillOpen(silent));
  EXPECT_EQ(served.loop.timers.Advance(1ms), 1);
  EXPECT_TRUE(ClosedByServer(silent));
  const std::string ended = served.sink.WaitLog(DeviceLogKind::Error, "접속 끊김: [CONTEXT:1,");
  EXPECT_TRUE(ended.ends_with(", RETURN:0]")) << ended;
  EXPECT_EQ(served.sink.Entries(DeviceLogKind::Error),
            (std::vector<std::string>{"받은 데이터 없이 120초, 연결 닫음: " + Where(ended), ended}));
}

TEST(CtiListener, ShutdownHandsOnWhatWasReceivedThenCallsNobody) {
  Served served({}, Time::Fake);  // the order hold never runs out here
  UniqueFd silent = served.Connect();
  ASSERT_FALSE(served.sink.WaitLog(DeviceLogKind::Plain, "접속됨: [IP:127.0.0.1, CONTEXT:1,").empty());
  UniqueFd caller = served.Connect();
  ASSERT_TRUE(WriteAll(caller.get(), "201,701,03"));
  ASSERT_FALSE(served.sink.WaitLog(DeviceLogKind::Plain, "받음: [CONTEXT:2,").empty());
  EXPECT_TRUE(served.sink.messages().empty());
  served.listener.Shutdown();
  EXPECT_EQ(served.sink.messages(), std::vector<std::string>{"201,701,03"});
  const std::vector<std::string> errors = served.sink.Entries(DeviceLogKind::Error);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_TRUE(errors[1].starts_with("접속 끊김: [CONTEXT:1,")) << errors[1];
  EXPECT_EQ(errors[0], "서버 정지, 받은 데이터 없이 0초, 연결 닫음: " + Where(errors[1]));
  EXPECT_EQ(served.loop.timers.armedCount(), 0u);
}

TEST(CtiListener, LongMessageIsCutToOneReceive) {
  Served served;
  UniqueFd client = served.Connect();
  std::string longMessage;
  while (longMessage.size() < 1500) longMessage += "201,701,0212345678;";
  ASSERT_TRUE(WriteAll(client.get(), longMessage));
  EXPECT_TRUE(ClosedByServer(client));
  ASSERT_TRUE(served.sink.WaitMessages(1));
  const std::vector<std::string> messages = served.sink.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].size(), CtiListener::kMessageBytes);
  EXPECT_TRUE(longMessage.starts_with(messages[0]));
}

TEST(CtiListener, PeerClosingWithoutSendingIsLogged) {
  Served served;
  UniqueFd client = served.Connect();
  ASSERT_FALSE(served.sink.WaitLog(DeviceLogKind::Plain, "접속됨: ").empty());
  client.Reset();
  const std::string entry = served.sink.WaitLog(DeviceLogKind::Error, "접속 끊김: ");
  EXPECT_TRUE(entry.starts_with("접속 끊김: [CONTEXT:1, SOCKET:")) << entry;
  EXPECT_TRUE(entry.ends_with(", RETURN:1]")) << entry;
  EXPECT_TRUE(served.sink.messages().empty());
}

TEST(CtiListener, AtTheCapYoungConnectionsAreServedBeforeTheNextIsTaken) {
  Served served(CtiLimits{.maxConnections = 4});
  std::vector<UniqueFd> callers;
  for (int i = 0; i < 4; ++i) callers.push_back(served.Connect());
  UniqueFd waiting = served.Connect();
  ASSERT_TRUE(WriteAll(waiting.get(), "201,701,05"));
  // Nothing is dropped: the fifth message waits until one of the four has sent its own.
  ASSERT_TRUE(WriteAll(callers[2].get(), "201,701,03"));
  EXPECT_TRUE(served.sink.WaitMessage("201,701,03"));
  EXPECT_TRUE(served.sink.WaitMessage("201,701,05"));
  for (int i : {0, 1, 3}) ASSERT_TRUE(WriteAll(callers[i].get(), "201,701,0" + std::to_string(i)));
  for (int i : {0, 1, 3}) EXPECT_TRUE(served.sink.WaitMessage("201,701,0" + std::to_string(i)));
}

TEST(CtiListener, AtTheCapOnlyAConnectionSilentForAMinuteMakesRoom) {
  Served served(CtiLimits{.maxConnections = 4}, Time::Fake);
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(served.Connect());
    ASSERT_FALSE(
        served.sink.WaitLog(DeviceLogKind::Plain, text::Format("접속됨: [IP:127.0.0.1, CONTEXT:%x,", i + 1)).empty());
  }
  UniqueFd caller = served.Connect();
  ASSERT_TRUE(served.loop.timers.WaitForArmed(4 * 2 + 1));  // each one's idle time and place, and the wait for room
  EXPECT_EQ(served.loop.timers.Advance(59'999ms), 4);       // the order holds
  EXPECT_TRUE(StillOpen(idle.front()));
  EXPECT_EQ(served.loop.timers.Advance(1ms), 1);
  EXPECT_TRUE(ClosedByServer(idle.front()));
  ASSERT_TRUE(WriteAll(caller.get(), "201,701,02"));
  EXPECT_TRUE(served.sink.WaitMessage("201,701,02"));
  for (size_t i = 1; i < idle.size(); ++i) EXPECT_TRUE(StillOpen(idle[i]));
  const std::string ended = served.sink.WaitLog(DeviceLogKind::Error, "접속 끊김: [CONTEXT:1,");
  EXPECT_EQ(
      served.sink.Entries(DeviceLogKind::Error),
      (std::vector<std::string>{"연결 수 한도(4) 도달, 받은 데이터 없이 60초, 연결 닫음: " + Where(ended), ended}));
}

TEST(CtiListener, TheConnectionCapLeavesRoomForTheOperatorConnectionsOfEverySlot) {
  for (const uint64_t limit : {uint64_t{20'000}, uint64_t{524'288}, uint64_t{1} << 20}) {
    EXPECT_LE(CtiConnectionCap(limit) * kSlotCount + kSlotCount * kAgentSlotCapacity, limit) << limit;
    EXPECT_GE(CtiConnectionCap(limit), limit / 5) << limit;
  }
  EXPECT_EQ(CtiConnectionCap(1024), 64u) << "where the limit cannot be raised, a burst still finds room";
}

TEST(CtiListener, IdleAndGarbageClientsLeaveItServing) {
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 4096) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  ASSERT_GE(files.rlim_cur, 2048u) << "too few descriptors for the test";

  std::atomic<int> received{0};
  Served served({}, Time::Real, [&](std::string_view message) {
    if (message == "201,701,0212345678") served.sink.Message(message);
    ++received;
  });
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(served.Connect());
    ASSERT_TRUE(idle.back().valid()) << i;
  }
  std::mt19937 random(20260314);
  std::uniform_int_distribution<int> length(1, 1500), byte(0, 255);
  for (int i = 0; i < 10000; ++i) {
    UniqueFd client = served.Connect();
    ASSERT_TRUE(client.valid()) << i;
    std::string garbage(static_cast<size_t>(length(random)), '\0');
    for (char& c : garbage) c = static_cast<char>(byte(random));
    ::send(client.get(), garbage.data(), garbage.size(), MSG_NOSIGNAL);
  }
  UniqueFd caller = served.Connect();
  ASSERT_TRUE(WriteAll(caller.get(), "201,701,0212345678"));
  EXPECT_TRUE(served.sink.WaitMessage("201,701,0212345678"));
  EXPECT_GT(received.load(), 0);
}

TEST(CtiListener, HandlerFailureCostsOnlyItsMessage) {
  Served served({}, Time::Real, [](std::string_view message) {
    if (message == "bad") throw std::runtime_error("parser failure");
  });
  UniqueFd bad = served.Connect();
  ASSERT_TRUE(WriteAll(bad.get(), "bad"));
  EXPECT_TRUE(ClosedByServer(bad));
  EXPECT_EQ(served.sink.WaitLog(DeviceLogKind::Error, "WorkThread"), "WorkThread 비정상 0xE06D7363");
  // The pool goes on serving.
  UniqueFd good = served.Connect();
  ASSERT_TRUE(WriteAll(good.get(), "good"));
  EXPECT_TRUE(ClosedByServer(good));
  EXPECT_EQ(served.sink.WaitLog(DeviceLogKind::Plain, "받음: [CONTEXT:2"), "받음: [CONTEXT:2, TOTAL:4, RECV:4]");
}

TEST(CtiListener, StopEndsAcceptingAndStartListensAgain) {
  testing::FakeTimeLoop loop;
  CtiListener listener(loop.loop, loop.strand, loop.timers, loop.clock);
  Sink sink;
  const LinkHandlers handlers{.message = [&](std::string_view m) { sink.Message(m); },
                              .log = [&](DeviceLogKind kind, const std::string& text) { sink.Log(kind, text); }};
  ASSERT_TRUE(listener.Start(1, 0).ok);
  listener.Begin(handlers);
  const int port = listener.port();
  listener.Stop();
  EXPECT_FALSE(listener.IsListening());
  EXPECT_FALSE(testing::ConnectTo(port).valid());

  ASSERT_TRUE(listener.Start(1, port).ok);  // the same port at once
  listener.Begin(handlers);
  UniqueFd client = testing::ConnectTo(port);
  ASSERT_TRUE(WriteAll(client.get(), "again"));
  EXPECT_TRUE(sink.WaitMessage("again"));
}

}  // namespace
}  // namespace lindra
