#include <gtest/gtest.h>

#include "notify/broadcast_notify.h"
#include "notify/frame_mirror.h"
#include "notify_test_support.h"

namespace lindra {
namespace {

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

TEST(BroadcastNotify, OneDatagramToTheBroadcastAddressWithItsLines) {
  UdpReceiver pcs("127.255.255.255");
  RecordingReporter reporter(2);
  NotifySocket socket;
  ASSERT_EQ(socket.Create(2, true), "");
  EXPECT_TRUE(socket.BroadcastNotify(reporter, "127.255.255.255", pcs.port(), Answered()));
  EXPECT_EQ(pcs.Receive(), "T|0212345678|0215881234");
  const std::string line = "send : 0 -> DID:0215881234, CID:0212345678";
  EXPECT_EQ(reporter.status(), std::vector<std::string>{line});
  EXPECT_EQ(reporter.telephoneLines(), std::vector<std::string>{line});
}

TEST(BroadcastNotify, FailuresAreReportedAndNotRetried) {
  UdpReceiver pcs("127.255.255.255");
  RecordingReporter reporter;
  NotifySocket socket;
  // Without broadcast mode the socket has no SO_BROADCAST, and the kernel refuses.
  ASSERT_EQ(socket.Create(1, false), "");
  EXPECT_FALSE(socket.BroadcastNotify(reporter, "127.255.255.255", pcs.port(), Answered()));
  socket.Close();
  EXPECT_FALSE(socket.BroadcastNotify(reporter, "127.255.255.255", pcs.port(), Answered()));
  EXPECT_EQ(reporter.status(), (std::vector<std::string>{"[ERR] send 실패 : 13 -> T|0212345678|0215881234",
                                                         "[ERR] send 실패 : 9 -> T|0212345678|0215881234"}));
  auto program = reporter.program();
  ASSERT_EQ(program.size(), 2u);
  EXPECT_EQ(program[0], std::make_pair(DeviceLogKind::Error, std::string("send 실패: 13 -> T|0212345678|0215881234")));
  EXPECT_TRUE(reporter.telephoneLines().empty());
  EXPECT_EQ(pcs.Receive(std::chrono::milliseconds(0)), "<none>");
}

TEST(BroadcastNotify, CreatingAgainReplacesTheSocketAndTheKindIsOneLetter) {
  UdpReceiver pc("127.0.0.1");
  RecordingReporter reporter;
  NotifySocket socket;
  ASSERT_EQ(socket.Create(1, true), "");
  ASSERT_EQ(socket.Create(1, false), "");
  EXPECT_TRUE(socket.IsOpen());
  CallEvent event = Answered();
  event.kind = "HX";
  EXPECT_TRUE(socket.BroadcastNotify(reporter, "127.0.0.1", pc.port(), event));
  EXPECT_EQ(pc.Receive(), "H|0212345678|0215881234");
}

TEST(FrameMirror, CopiesFramesInOrderEachOnItsOwnConnection) {
  TcpReceiver endpoint("127.0.0.1");
  RecordingReporter reporter;
  {
    FrameMirror mirror(reporter, "127.0.0.1", endpoint.port());
    EXPECT_TRUE(mirror.MirrorFrame("201,701,0212345678"));
    EXPECT_TRUE(mirror.MirrorFrame(std::string_view("202,702,0311112222\0tail", 23)));
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
  FrameMirror mirror(reporter, "127.0.0.1", endpoint.port());
  EXPECT_TRUE(mirror.MirrorFrame("201,701,0212345678"));
  EXPECT_TRUE(mirror.MirrorFrame("202,701,0212345678"));
  mirror.Flush();
  auto program = reporter.program();
  ASSERT_EQ(program.size(), 2u);
  for (const auto& entry : program)
    EXPECT_EQ(entry, std::make_pair(DeviceLogKind::Error, std::string("connect 실패: 111")));
}

TEST(FrameMirror, AStopCutsAHangingConnectShort) {
  TcpReceiver endpoint("127.0.0.1", false, 0, 0);
  endpoint.Listen(false);
  UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = testing::LoopbackAddress("127.0.0.1", endpoint.port());
  ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  RecordingReporter reporter;
  auto started = testing::SteadyClock::now();
  {
    FrameMirror mirror(reporter, "127.0.0.1", endpoint.port(), std::chrono::seconds(60));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(mirror.MirrorFrame("201,701,0212345678"));
  }
  EXPECT_LT(testing::SteadyClock::now() - started, std::chrono::seconds(30));
}

}  // namespace
}  // namespace lindra
