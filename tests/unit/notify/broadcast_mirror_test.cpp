#include <gtest/gtest.h>

#include "notify/broadcast_notify.h"
#include "notify/frame_mirror.h"
#include "notify_test_support.h"
#include "support/fake_timers.h"

namespace lindra {
namespace {

using namespace std::chrono_literals;
using testing::FakeTimeLoop;
using testing::RecordingReporter;
using testing::TcpReceiver;
using testing::UdpReceiver;

CallEvent Answered() {
  CallEvent event;
  event.kind = "T";
  event.callerNumber = "0212345678";
  event.didNumber = "0215881234";
  return event;
}

// A slot's UDP socket on its strand; the broadcasts go out there, as the slot's dispatch sends them.
struct Notifier {
  bool Broadcast(SlotReporter& reporter, std::string_view address, int port, const CallEvent& event) {
    bool sent = false;
    RunOn(loop.strand, [&] { sent = socket.BroadcastNotify(reporter, address, port, event); });
    return sent;
  }
  FakeTimeLoop loop;
  NotifySocket socket{loop.strand};
};

// Also from a socket made while the slot notified per operator: a reload that moved
// it to broadcast must not leave it with a socket the kernel refuses (EACCES).
TEST(BroadcastNotify, OneDatagramToTheBroadcastAddressWithItsLines) {
  for (bool madeInBroadcastMode : {true, false}) {
    UdpReceiver pcs("127.255.255.255");
    RecordingReporter reporter(2);
    Notifier notifier;
    ASSERT_EQ(notifier.socket.Create(2, madeInBroadcastMode), std::nullopt);
    EXPECT_TRUE(notifier.Broadcast(reporter, "127.255.255.255", pcs.port(), Answered()));
    EXPECT_EQ(pcs.Receive(), "T|0212345678|0215881234");
    const std::string line = "send : 0 -> DID:0215881234, CID:0212345678";
    EXPECT_EQ(reporter.statusLines(), std::vector<StatusLine>{StatusLine::Info(line)}) << madeInBroadcastMode;
    EXPECT_EQ(reporter.telephoneLines(), std::vector<std::string>{line});
  }
}

TEST(BroadcastNotify, FailuresAreReportedAndNotRetried) {
  UdpReceiver pcs("127.255.255.255");
  RecordingReporter reporter;
  Notifier notifier;
  ASSERT_EQ(notifier.socket.Create(1, false), std::nullopt);
  EXPECT_FALSE(notifier.Broadcast(reporter, "127.255.255", pcs.port(), Answered()));  // no dotted address
  notifier.socket.Close();
  EXPECT_FALSE(notifier.Broadcast(reporter, "127.255.255.255", pcs.port(), Answered()));
  EXPECT_EQ(reporter.statusLines(),
            (std::vector<StatusLine>{StatusLine::Error("[ERR] send 실패 : 22 -> T|0212345678|0215881234", 22),
                                     StatusLine::Error("[ERR] send 실패 : 9 -> T|0212345678|0215881234", 9)}));
  auto program = reporter.program();
  ASSERT_EQ(program.size(), 2u);
  EXPECT_EQ(program[0], std::make_pair(DeviceLogKind::Error, std::string("send 실패: 22 -> T|0212345678|0215881234")));
  EXPECT_TRUE(reporter.telephoneLines().empty());
  EXPECT_EQ(pcs.Receive(std::chrono::milliseconds(0)), "<none>");
}

TEST(BroadcastNotify, CreatingAgainReplacesTheSocketAndTheKindIsOneLetter) {
  UdpReceiver pc("127.0.0.1");
  RecordingReporter reporter;
  Notifier notifier;
  ASSERT_EQ(notifier.socket.Create(1, true), std::nullopt);
  ASSERT_EQ(notifier.socket.Create(1, false), std::nullopt);
  CallEvent event = Answered();
  event.kind = "HX";
  EXPECT_TRUE(notifier.Broadcast(reporter, "127.0.0.1", pc.port(), event));
  EXPECT_EQ(pc.Receive(), "H|0212345678|0215881234");
}

TEST(FrameMirror, CopiesFramesInOrderEachOnItsOwnConnection) {
  TcpReceiver endpoint("127.0.0.1");
  RecordingReporter reporter;
  {
    FakeTimeLoop loop;
    FrameMirror mirror(reporter, loop.strand, loop.timers, "127.0.0.1", endpoint.port());
    mirror.MirrorFrame("201,701,0212345678");
    mirror.MirrorFrame(std::string_view("202,702,0311112222\0tail", 23));
    mirror.Flush();
  }
  ASSERT_TRUE(endpoint.WaitForClosed(2));
  auto connections = endpoint.connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_EQ(connections[0].Text(), "201,701,0212345678");
  EXPECT_EQ(connections[1].Text(), "202,702,0311112222");
  EXPECT_TRUE(reporter.program().empty());
}

TEST(FrameMirror, AnAbsentEndpointIsLoggedPerFrame) {
  TcpReceiver endpoint("127.0.0.1", false);
  RecordingReporter reporter;
  FakeTimeLoop loop;
  FrameMirror mirror(reporter, loop.strand, loop.timers, "127.0.0.1", endpoint.port());
  mirror.MirrorFrame("201,701,0212345678");
  mirror.MirrorFrame("202,701,0212345678");
  mirror.Flush();
  auto program = reporter.program();
  ASSERT_EQ(program.size(), 2u);
  for (const auto& entry : program)
    EXPECT_EQ(entry, std::make_pair(DeviceLogKind::Error, std::string("connect 실패: 111")));
}

TEST(FrameMirror, AHangingConnectEndsAfterItsTimeTheQueueIsBoundedAndAStopCutsItShort) {
  TcpReceiver endpoint("127.0.0.1", false, 0, 0);
  endpoint.Listen(false);
  UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = testing::LoopbackAddress("127.0.0.1", endpoint.port());
  ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  RecordingReporter reporter;
  FakeTimeLoop loop;
  {
    FrameMirror mirror(reporter, loop.strand, loop.timers, "127.0.0.1", endpoint.port(), 1000ms);
    // One under way, the queue full behind it, one more dropped (queued on the strand,
    // as the slot's dispatch does).
    RunOn(loop.strand, [&] {
      for (size_t i = 0; i < FrameMirror::kMaxQueued + 2; ++i) mirror.MirrorFrame("201,701,0212345678");
    });
    EXPECT_EQ(reporter.program().size(), 1u);
    ASSERT_TRUE(loop.timers.WaitForDue(1000ms));
    EXPECT_EQ(loop.timers.Advance(999ms), 0);
    EXPECT_EQ(reporter.program().size(), 1u);
    EXPECT_EQ(loop.timers.Advance(1ms), 1);
    // Each copy has its own time, armed once the one before has been reported.
    EXPECT_EQ(loop.timers.AdvanceWhenDue(1000ms), 1);
    ASSERT_TRUE(loop.timers.WaitForDue(1000ms));
  }
  EXPECT_EQ(reporter.program(), (std::vector<std::pair<DeviceLogKind, std::string>>{
                                    {DeviceLogKind::Error, "send 실패: 105"},
                                    {DeviceLogKind::Error, "connect 실패: 110"},
                                    {DeviceLogKind::Error, "connect 실패: 110"},
                                }));
}

}  // namespace
}  // namespace lindra
