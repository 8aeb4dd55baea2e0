#include "device/lan_link.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "link_test_support.h"
#include "text/strings.h"

namespace lindra {
namespace {

using testing::Recorder;

// Short pauses keep the tests quick; a quiet pause of a minute keeps the quiet
// attempts out of a test that does not wait for them.
constexpr LinkTimings kQuick{20, 100};
constexpr LinkTimings kNoQuietAttempt{20, 60'000};

// Runs the link on its own thread, as the channel's LoopThread does.
struct Reader {
  Reader(LanLink& link, Recorder& recorder)
      : link(link), thread([&link, &recorder] {
          link.Run(recorder.Handlers());
          recorder.Status("(run returned)");
        }) {}
  ~Reader() {
    link.Stop();  // also when an assertion left the test early
    if (thread.joinable()) thread.join();
  }
  LanLink& link;
  std::thread thread;
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
    std::string expected;
  };
  const Case cases[] = {
      {1, "127.0.0.1", port, text::Format("[WARN] DEV01 Connected PBX : 127.0.0.1, %d", port)},
      {3, "localhost", port, text::Format("[WARN] DEV03 Connected PBX : localhost, %d", port)},
      {2, "127.0.0.1", refusing.port, "[ERR] DEV02 LAN - connect 실패 ErrNo:111"},
      {4, "300.1.2.3", port, "[ERR] DEV04 LAN - connect 실패 ErrNo:22"},
      // Cut to 16 bits this port would reach the listening exchange.
      {2, "127.0.0.1", 65536 + port, "[ERR] DEV02 LAN - connect 실패 ErrNo:22"},
  };
  for (const Case& c : cases) {
    LanLink link;
    EXPECT_EQ(link.Start(c.slot, c.ip, c.port), c.expected) << c.ip;
  }
}

TEST(LanLink, ConnectGivesUpAfterItsTimeout) {
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
  LanLink link;
  EXPECT_EQ(link.Start(1, "127.0.0.1", port), "[ERR] DEV01 LAN - connect 실패 ErrNo:110");
}

TEST(LanLink, DeliversWhatTheExchangeSends) {
  UniqueFd exchange = testing::ListenOn(0);
  LanLink link;
  ASSERT_EQ(link.Start(1, "127.0.0.1", testing::PortOf(exchange.get()))[1], 'W');
  UniqueFd peer = Accept(exchange);
  Recorder recorder;
  Reader reader(link, recorder);
  Send(peer, "  1 first line\r");
  ASSERT_TRUE(recorder.WaitBytes(15));
  Send(peer, std::string(5000, 'x'));
  ASSERT_TRUE(recorder.WaitBytes(5015));
  EXPECT_EQ(recorder.bytes(), "  1 first line\r" + std::string(5000, 'x'));
  for (const std::string& chunk : recorder.chunks()) EXPECT_LE(chunk.size(), LanLink::kChunkBytes);
  EXPECT_TRUE(recorder.statuses().empty());
}

TEST(LanLink, ResetAndRefusedAttemptsGiveUpThenAQuietAttemptComesBack) {
  UniqueFd exchange = testing::ListenOn(0);
  const int port = testing::PortOf(exchange.get());
  LanLink link(kQuick);
  ASSERT_EQ(link.Start(2, "127.0.0.1", port)[1], 'W');
  UniqueFd peer = Accept(exchange);
  exchange.Reset();  // reconnects are refused from now on
  Recorder recorder;
  Reader reader(link, recorder);
  testing::Reset(peer);
  ASSERT_TRUE(recorder.WaitStatuses(12));
  exchange = testing::ListenOn(port);  // back: the next quiet attempt connects
  ASSERT_TRUE(exchange.valid());
  peer = Accept(exchange);
  ASSERT_TRUE(recorder.WaitStatuses(14));
  Send(peer, "after");
  ASSERT_TRUE(recorder.WaitBytes(5));
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
      "[ERR] DEV02 연결 재시도 3회 실패. 1초마다 재연결 시도",
      "(down)",
      text::Format("[WARN] DEV02 Reconnected PBX : 127.0.0.1, %d", port),
      "(up)",
  };
  EXPECT_EQ(recorder.statuses(), expected);
  EXPECT_EQ(recorder.bytes(), "after");
}

TEST(LanLink, ConnectionsClosedBeforeTheirFirstByteUseUpTheAttempts) {
  // An exchange that accepts and closes at once, like one that refuses.
  UniqueFd exchange = testing::ListenOn(0);
  LanLink link(kNoQuietAttempt);
  ASSERT_EQ(link.Start(1, "127.0.0.1", testing::PortOf(exchange.get()))[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder);
  for (int connection = 0; connection < 4; ++connection) {
    UniqueFd peer = Accept(exchange);  // the start's own, then the three attempts
    ASSERT_TRUE(peer.valid());
  }
  ASSERT_TRUE(recorder.WaitStatuses(13));
  const std::vector<std::string> expected{
      "(cut)",  "[ERR] recv 실패 : 0", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)",
      "(cut)",  "[ERR] recv 실패 : 0", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(2회)",
      "(cut)",  "[ERR] recv 실패 : 0", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(3회)",
      "(cut)",  "[ERR] recv 실패 : 0", "[ERR] DEV01 연결 재시도 3회 실패. 60초마다 재연결 시도",
      "(down)",
  };
  EXPECT_EQ(recorder.statuses(), expected);
}

TEST(LanLink, OrderlyCloseIsReportedAndRetried) {
  UniqueFd exchange = testing::ListenOn(0);
  LanLink link(kQuick);
  ASSERT_EQ(link.Start(1, "127.0.0.1", testing::PortOf(exchange.get()))[1], 'W');
  UniqueFd peer = Accept(exchange);
  Recorder recorder;
  Reader reader(link, recorder);
  peer.Reset();  // FIN
  UniqueFd again = Accept(exchange);
  ASSERT_TRUE(again.valid());
  Send(again, "after");
  ASSERT_TRUE(recorder.WaitBytes(5));
  EXPECT_EQ(recorder.bytes(), "after");
  EXPECT_EQ(recorder.statuses(), (std::vector<std::string>{"(cut)", "[ERR] recv 실패 : 0",
                                                           "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)"}));
}

TEST(LanLink, AByteAfterAReconnectStartsTheNumberingAgain) {
  UniqueFd exchange = testing::ListenOn(0);
  const int port = testing::PortOf(exchange.get());
  LanLink link({200, 60'000});
  ASSERT_EQ(link.Start(1, "127.0.0.1", port)[1], 'W');
  UniqueFd peer = Accept(exchange);
  exchange.Reset();
  Recorder recorder;
  Reader reader(link, recorder);
  testing::Reset(peer);
  ASSERT_TRUE(recorder.WaitStatuses(4));  // attempt 1 refused
  exchange = testing::ListenOn(port);     // a later announced attempt succeeds
  ASSERT_TRUE(exchange.valid());
  peer = Accept(exchange);
  ASSERT_TRUE(peer.valid());
  Send(peer, "x");
  ASSERT_TRUE(recorder.WaitBytes(1));  // reconnected, and proven
  const size_t before = recorder.statuses().size();
  EXPECT_NE(recorder.statuses().back(), "(down)");
  testing::Reset(peer);
  ASSERT_TRUE(recorder.WaitStatuses(before + 3));
  const std::vector<std::string> statuses = recorder.statuses();
  EXPECT_EQ(
      std::vector<std::string>(statuses.begin() + static_cast<long>(before), statuses.end()),
      (std::vector<std::string>{"(cut)", "[ERR] recv 실패 : 104", "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)"}));
}

TEST(LanLink, EachLinkCountsItsOwnRetries) {
  // One slot giving up must not cost another its attempts.
  UniqueFd first = testing::ListenOn(0);
  UniqueFd second = testing::ListenOn(0);
  LanLink a(kNoQuietAttempt), b(kNoQuietAttempt);
  ASSERT_EQ(a.Start(1, "127.0.0.1", testing::PortOf(first.get()))[1], 'W');
  ASSERT_EQ(b.Start(2, "127.0.0.1", testing::PortOf(second.get()))[1], 'W');
  UniqueFd peerA = Accept(first), peerB = Accept(second);
  first.Reset();
  second.Reset();
  Recorder recordA, recordB;
  {
    Reader readerA(a, recordA);
    testing::Reset(peerA);
    ASSERT_TRUE(recordA.WaitStatuses(12));  // given up
  }
  Reader readerB(b, recordB);
  testing::Reset(peerB);
  ASSERT_TRUE(recordB.WaitStatuses(3));
  EXPECT_EQ(recordB.statuses()[2], "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)");
}

TEST(LanLink, StopEndsTheRunWhileReceivingAndWhilePausing) {
  UniqueFd exchange = testing::ListenOn(0);
  LanLink link({60'000, 60'000});  // a pause only a stop can end
  ASSERT_EQ(link.Start(1, "127.0.0.1", testing::PortOf(exchange.get()))[1], 'W');
  UniqueFd peer = Accept(exchange);
  {
    Recorder recorder;
    Reader reader(link, recorder);
    Send(peer, "x");
    ASSERT_TRUE(recorder.WaitBytes(1));
    link.Stop();
    reader.thread.join();
    EXPECT_EQ(recorder.statuses(), std::vector<std::string>{"(run returned)"});
  }
  // Again, stopped inside the pause after a loss.
  ASSERT_EQ(link.Start(1, "127.0.0.1", testing::PortOf(exchange.get()))[1], 'W');
  peer = Accept(exchange);
  Recorder recorder;
  Reader reader(link, recorder);
  testing::Reset(peer);
  ASSERT_TRUE(recorder.WaitStatuses(2));
  link.Stop();
  reader.thread.join();
  EXPECT_EQ(recorder.statuses(), (std::vector<std::string>{"(cut)", "[ERR] recv 실패 : 104", "(run returned)"}));
}

TEST(LanLink, RunWithoutAConnectionReturnsAtOnce) {
  RefusingPort refusing;
  LanLink link;
  ASSERT_EQ(link.Start(1, "127.0.0.1", refusing.port)[1], 'E');
  Recorder recorder;
  link.Run(recorder.Handlers());
  EXPECT_TRUE(recorder.statuses().empty());
}

}  // namespace
}  // namespace lindra
