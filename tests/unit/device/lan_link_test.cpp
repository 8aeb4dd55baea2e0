#include "device/lan_link.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <future>

#include "link_test_support.h"
#include "text/strings.h"

namespace lindra {
namespace {

using namespace std::chrono_literals;
using testing::Recorder;

// A link on the loop with fake time, and what it hands over.
struct LanFixture {
  testing::FakeTimeLoop loop;
  Recorder recorder;
  LanLink link{loop.strand, loop.timers};
};

// The next connection, or an empty fd when none comes in time.
UniqueFd Accept(const UniqueFd& listener) {
  pollfd ready{listener.get(), POLLIN, 0};
  const int ms = static_cast<int>(std::chrono::milliseconds(testing::kPatience).count());
  if (::poll(&ready, 1, ms) != 1) return {};
  return UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

void Send(const UniqueFd& fd, std::string_view bytes) { ASSERT_TRUE(WriteAll(fd.get(), bytes)); }

// A port nobody listens on: bound, never listened, so connects are refused.
struct RefusingPort {
  RefusingPort() : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in address = testing::Loopback(0);
    ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    port = testing::PortOf(fd.get());
  }
  UniqueFd fd;
  int port = 0;
};

TEST(LanLink, StartTexts) {
  UniqueFd exchange = testing::ListenOn(0);
  const int port = testing::PortOf(exchange.get());
  RefusingPort refusing;
  struct Case {
    int slot;
    std::string ip;
    int port;
    LinkResult expected;
  };
  const Case cases[] = {
      {1, "127.0.0.1", port, LinkResult::Opened(text::Format("[WARN] DEV01 Connected PBX : 127.0.0.1, %d", port))},
      {3, "localhost", port, LinkResult::Opened(text::Format("[WARN] DEV03 Connected PBX : localhost, %d", port))},
      {2, "127.0.0.1", refusing.port, LinkResult::Failed("[ERR] DEV02 LAN - connect 실패 ErrNo:111", 111)},
      {4, "300.1.2.3", port, LinkResult::Failed("[ERR] DEV04 LAN - connect 실패 ErrNo:22", 22)},
      // Cut to 16 bits this port would reach the listening exchange.
      {2, "127.0.0.1", 65536 + port, LinkResult::Failed("[ERR] DEV02 LAN - connect 실패 ErrNo:22", 22)},
  };
  testing::FakeTimeLoop loop;
  for (const Case& c : cases) {
    LanLink link(loop.strand, loop.timers);
    EXPECT_EQ(link.Start(c.slot, c.ip, c.port), c.expected) << c.ip;
  }
}

TEST(LanLink, ConnectGivesUpAfterThreeSeconds) {
  // A listener whose queue is full drops the handshake, like an exchange that never answers.
  UniqueFd exchange = testing::ListenOn(0, 0);
  const int port = testing::PortOf(exchange.get());
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 4; ++i) {
    UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in address = testing::Loopback(port);
    ::connect(filler.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    fillers.push_back(std::move(filler));
  }
  LanFixture f;
  auto started = std::async(std::launch::async, [&] { return f.link.Start(1, "127.0.0.1", port); });
  ASSERT_TRUE(f.loop.timers.WaitForDue(3000ms));
  EXPECT_EQ(f.loop.timers.Advance(2999ms), 0);
  EXPECT_EQ(started.wait_for(0s), std::future_status::timeout);
  EXPECT_EQ(f.loop.timers.Advance(1ms), 1);
  EXPECT_EQ(started.get(), LinkResult::Failed("[ERR] DEV01 LAN - connect 실패 ErrNo:110", 110));
}

TEST(LanLink, DeliversWhatTheExchangeSends) {
  UniqueFd exchange = testing::ListenOn(0);
  LanFixture f;
  ASSERT_TRUE(f.link.Start(1, "127.0.0.1", testing::PortOf(exchange.get())).ok);
  UniqueFd peer = Accept(exchange);
  f.link.Begin(f.recorder.Handlers());
  Send(peer, "  1 first line\r");
  ASSERT_TRUE(f.recorder.WaitBytes(15));
  Send(peer, std::string(5000, 'x'));
  ASSERT_TRUE(f.recorder.WaitBytes(5015));
  EXPECT_EQ(f.recorder.bytes(), "  1 first line\r" + std::string(5000, 'x'));
  for (const std::string& chunk : f.recorder.chunks()) EXPECT_LE(chunk.size(), LanLink::kChunkBytes);
  EXPECT_TRUE(f.recorder.statuses().empty());
}

TEST(LanLink, ResetAndRefusedAttemptsASecondApartGiveUpThenQuietOnesBackOffUntilOneConnects) {
  UniqueFd exchange = testing::ListenOn(0);
  const int port = testing::PortOf(exchange.get());
  LanFixture f;
  ASSERT_TRUE(f.link.Start(2, "127.0.0.1", port).ok);
  UniqueFd peer = Accept(exchange);
  exchange.Reset();  // reconnects are refused from now on
  f.link.Begin(f.recorder.Handlers());
  testing::Reset(peer);
  ASSERT_TRUE(f.recorder.WaitStatuses(2));
  for (const size_t reported : {4u, 7u, 12u}) {
    EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 1);
    ASSERT_TRUE(f.recorder.WaitStatuses(reported));
  }
  // Quiet attempts, refused: after 1, 2 and 4 seconds, then every 5.
  for (const auto pause : {1000ms, 2000ms, 4000ms, 5000ms}) {
    ASSERT_TRUE(f.loop.timers.WaitForDue(pause));
    EXPECT_EQ(f.loop.timers.Advance(pause - 1ms), 0);
    EXPECT_EQ(f.loop.timers.Advance(1ms), 1);
  }
  ASSERT_TRUE(f.loop.timers.WaitForDue(5000ms));  // that attempt was refused too
  exchange = testing::ListenOn(port);             // back: the next quiet attempt connects
  ASSERT_TRUE(exchange.valid());
  EXPECT_EQ(f.loop.timers.Advance(4999ms), 0);
  EXPECT_EQ(f.loop.timers.Advance(1ms), 1);
  peer = Accept(exchange);
  ASSERT_TRUE(f.recorder.WaitStatuses(14));
  Send(peer, "after");
  ASSERT_TRUE(f.recorder.WaitBytes(5));
  const std::vector<std::string> expected{
      "(cut)",
      "[ERR] recv 실패 : 104",
      "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)",
      "[ERR] connect 실패: 111",
      "[ERR] recv 실패 : 107",
      "[ERR] 기존 연결 에러/종료됨. 연결 재시도(2회)",
      "[ERR] connect 실패: 111",
      "[ERR] recv 실패 : 107",
      "[ERR] 기존 연결 에러/종료됨. 연결 재시도(3회)",
      "[ERR] connect 실패: 111",
      "[ERR] DEV02 연결 재시도 3회 실패. 최대 5초 간격으로 재연결 시도",
      "(down)",
      text::Format("[WARN] DEV02 Reconnected PBX : 127.0.0.1, %d", port),
      "(up)",
  };
  EXPECT_EQ(f.recorder.statuses(), expected);
  const std::optional<int> none;
  EXPECT_EQ(f.recorder.errors(),
            (std::vector<std::optional<int>>{104, none, 111, 107, none, 111, 107, none, 111, none, none}));
  // Every attempt is told, the quiet ones too, numbered on from the announced ones.
  const std::string gaveUp = "[ERR] DEV02 연결 재시도 3회 실패. 최대 5초 간격으로 재연결 시도";
  EXPECT_EQ(
      f.recorder.progress(),
      (std::vector<LinkEvent>{testing::Retrying(0, 104, "[ERR] recv 실패 : 104"),
                              testing::Retrying(1, 111, "[ERR] connect 실패: 111"),
                              testing::Retrying(2, 111, "[ERR] connect 실패: 111"), testing::Retrying(3, 111, gaveUp),
                              testing::Retrying(4, 111), testing::Retrying(5, 111), testing::Retrying(6, 111),
                              testing::Retrying(7, 111), testing::Reconnected(8, expected[12])}));
  EXPECT_EQ(f.recorder.bytes(), "after");
}

TEST(LanLink, ConnectionsClosedBeforeTheirFirstByteUseUpTheAttempts) {
  // An exchange that accepts and closes at once, like one that refuses.
  UniqueFd exchange = testing::ListenOn(0);
  LanFixture f;
  ASSERT_TRUE(f.link.Start(1, "127.0.0.1", testing::PortOf(exchange.get())).ok);
  f.link.Begin(f.recorder.Handlers());
  for (int connection = 0; connection < 4; ++connection) {  // the start's own, then the three attempts
    if (connection > 0) {
      EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 1);
    }
    UniqueFd peer = Accept(exchange);
    ASSERT_TRUE(peer.valid());
  }
  ASSERT_TRUE(f.recorder.WaitStatuses(13));
  EXPECT_TRUE(f.loop.timers.WaitForDue(1000ms));
  const std::vector<std::string> expected{
      "(cut)",  "[ERR] recv 실패 : 0", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)",
      "(cut)",  "[ERR] recv 실패 : 0", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(2회)",
      "(cut)",  "[ERR] recv 실패 : 0", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(3회)",
      "(cut)",  "[ERR] recv 실패 : 0", "[ERR] DEV01 연결 재시도 3회 실패. 최대 5초 간격으로 재연결 시도",
      "(down)",
  };
  EXPECT_EQ(f.recorder.statuses(), expected);
  // An orderly close carries 0 as its number; each connection that dies unproven is its attempt's failure.
  const std::vector<LinkEvent> progress = f.recorder.progress();
  EXPECT_EQ(progress, (std::vector<LinkEvent>{testing::Retrying(0, 0, "[ERR] recv 실패 : 0"), testing::Reconnected(1),
                                              testing::Retrying(1, 0, "[ERR] recv 실패 : 0"), testing::Reconnected(2),
                                              testing::Retrying(2, 0, "[ERR] recv 실패 : 0"), testing::Reconnected(3),
                                              testing::Retrying(3, 0, expected[11])}));
}

TEST(LanLink, AByteAfterAReconnectStartsTheNumberingAgain) {
  UniqueFd exchange = testing::ListenOn(0);
  const int port = testing::PortOf(exchange.get());
  LanFixture f;
  ASSERT_TRUE(f.link.Start(1, "127.0.0.1", port).ok);
  UniqueFd peer = Accept(exchange);
  exchange.Reset();
  f.link.Begin(f.recorder.Handlers());
  peer.Reset();  // an orderly close is retried like a reset
  ASSERT_TRUE(f.recorder.WaitStatuses(2));
  EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 1);
  ASSERT_TRUE(f.recorder.WaitStatuses(4));  // attempt 1 refused
  exchange = testing::ListenOn(port);       // attempt 2 succeeds
  ASSERT_TRUE(exchange.valid());
  EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 1);
  peer = Accept(exchange);
  ASSERT_TRUE(peer.valid());
  Send(peer, "x");
  ASSERT_TRUE(f.recorder.WaitBytes(1));  // reconnected, and proven
  const size_t before = f.recorder.statuses().size();
  testing::Reset(peer);
  ASSERT_TRUE(f.recorder.WaitStatuses(before + 2));
  EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 1);
  ASSERT_TRUE(f.recorder.WaitStatuses(before + 3));
  const std::vector<std::string> statuses = f.recorder.statuses();
  EXPECT_EQ(std::vector<std::string>(statuses.begin(), statuses.begin() + 7),
            (std::vector<std::string>{"(cut)", "[ERR] recv 실패 : 0", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)",
                                      "[ERR] connect 실패: 111", "[ERR] recv 실패 : 107",
                                      "[ERR] 기존 연결 에러/종료됨. 연결 재시도(2회)", "(cut)"}));
  EXPECT_EQ(
      std::vector<std::string>(statuses.begin() + static_cast<long>(before), statuses.end()),
      (std::vector<std::string>{"(cut)", "[ERR] recv 실패 : 104", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)"}));
}

TEST(LanLink, EachLinkCountsItsOwnRetries) {
  // One slot giving up must not cost another its attempts.
  UniqueFd first = testing::ListenOn(0);
  UniqueFd second = testing::ListenOn(0);
  LanFixture f;
  Recorder otherRecorder;  // outlives the link that reports to it
  LanLink other(f.loop.strand, f.loop.timers);
  ASSERT_TRUE(f.link.Start(1, "127.0.0.1", testing::PortOf(first.get())).ok);
  ASSERT_TRUE(other.Start(2, "127.0.0.1", testing::PortOf(second.get())).ok);
  UniqueFd peerA = Accept(first), peerB = Accept(second);
  first.Reset();
  second.Reset();
  f.link.Begin(f.recorder.Handlers());
  other.Begin(otherRecorder.Handlers());
  testing::Reset(peerA);
  ASSERT_TRUE(f.recorder.WaitStatuses(2));
  for (const size_t reported : {4u, 7u, 12u}) {
    EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 1);
    ASSERT_TRUE(f.recorder.WaitStatuses(reported));  // given up at the end
  }
  testing::Reset(peerB);
  ASSERT_TRUE(otherRecorder.WaitStatuses(2));
  // Its first attempt, beside the first quiet one of the link that gave up.
  ASSERT_TRUE(f.loop.timers.WaitForArmed(2));
  EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 2);
  ASSERT_TRUE(otherRecorder.WaitStatuses(3));
  EXPECT_EQ(otherRecorder.statuses()[2], "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)");
}

TEST(LanLink, StopEndsTheLinkWhileReceivingAndWhilePausing) {
  UniqueFd exchange = testing::ListenOn(0);
  LanFixture f;
  ASSERT_TRUE(f.link.Start(1, "127.0.0.1", testing::PortOf(exchange.get())).ok);
  UniqueFd peer = Accept(exchange);
  f.link.Begin(f.recorder.Handlers());
  Send(peer, "x");
  ASSERT_TRUE(f.recorder.WaitBytes(1));
  f.link.Stop();
  EXPECT_EQ(f.loop.timers.armedCount(), 0u);

  // Again, stopped inside the pause after a loss: the attempt never comes.
  ASSERT_TRUE(f.link.Start(1, "127.0.0.1", testing::PortOf(exchange.get())).ok);
  peer = Accept(exchange);
  Recorder recorder;
  f.link.Begin(recorder.Handlers());
  testing::Reset(peer);
  ASSERT_TRUE(f.loop.timers.WaitForDue(1000ms));
  f.link.Stop();
  EXPECT_EQ(f.loop.timers.Advance(60s), 0);
  EXPECT_EQ(recorder.statuses(), (std::vector<std::string>{"(cut)", "[ERR] recv 실패 : 104"}));
  EXPECT_TRUE(f.recorder.statuses().empty());
  f.link.Stop();  // twice is harmless
}

}  // namespace
}  // namespace lindra
