#include "device/serial_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "link_test_support.h"
#include "platform/serial_port.h"
#include "support/temp_dir.h"
#include "text/strings.h"

namespace lindra {
namespace {

using testing::kPatience;
using testing::Recorder;
using namespace std::chrono_literals;

// A pseudo-terminal: the link opens its device path, the test plays the device on the master.
struct Pty {
  Pty() {
    int m = -1, s = -1;
    char name[256] = "";
    if (::openpty(&m, &s, name, nullptr, nullptr) == 0) {
      master.Reset(m);
      slave.Reset(s);
      path = name;
    }
  }
  void Write(std::string_view bytes) { ASSERT_TRUE(WriteAll(master.get(), bytes)); }
  // Appends what the link has written by now; false when there was nothing.
  bool ReadNow(std::string& got) {
    pollfd ready{master.get(), POLLIN, 0};
    if (::poll(&ready, 1, 0) != 1) return false;
    char buffer[256];
    const ssize_t n = ::read(master.get(), buffer, sizeof buffer);
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
    return true;
  }
  // Reads what the link wrote, waiting until `count` bytes have come.
  std::string Read(size_t count) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{master.get(), POLLIN, 0};
      if (::poll(&fd, 1, 1000) <= 0) continue;
      char buffer[64];
      const ssize_t n = ::read(master.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  // Waits until the bytes the test wrote wait unread on the link's side; returns how many.
  size_t WaitUnread() {
    pollfd ready{slave.get(), POLLIN, 0};
    ::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count()));
    return SerialBytesWaiting(slave.get());
  }
  UniqueFd master, slave;
  std::string path;
};

// A link on the loop with fake time, and what it hands over.
struct SerialFixture {
  testing::FakeTimeLoop loop;
  Recorder recorder;
  SerialLink link{loop.strand, loop.timers};
};

TEST(SerialPath, PortNamesMapToDevicePaths) {
  const SerialOverrides overrides{{"COM3", "/dev/ttyUSB0"}, {"COM4", "/tmp/pty=odd"}};

  EXPECT_EQ(SerialPathFor("COM1", overrides), "/dev/ttyS0");
  EXPECT_EQ(SerialPathFor("com6", overrides), "/dev/ttyS5");
  EXPECT_EQ(SerialPathFor("COM3", overrides), "/dev/ttyUSB0");
  EXPECT_EQ(SerialPathFor("Com4", overrides), "/tmp/pty=odd");
  EXPECT_EQ(SerialPathFor("COM0", overrides), "COM0");
  EXPECT_EQ(SerialPathFor("COMX", overrides), "COMX");
  EXPECT_EQ(SerialPathFor("", overrides), "");
}

TEST(SerialLink, StartShowsThePortNameAndSpeed) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  testing::FakeTimeLoop loop;
  const std::pair<const char*, int> cases[] = {{"COM1", 9600},  {"COM2", 1200},   {"COM3", 19200},
                                               {"COM4", 38400}, {"COM5", 115200}, {"COM6", 57600}};
  for (const auto& [port, speed] : cases) {
    SerialLink link(loop.strand, loop.timers);
    EXPECT_EQ(link.Start(pty.path, port, speed),
              LinkResult::Opened(text::Format("[WARN] Connected PBX : %s, %d", port, speed)));
    EXPECT_TRUE(link.IsOpen());
  }
  SerialLink link(loop.strand, loop.timers);  // "%.4s": at most four characters of the name
  EXPECT_EQ(link.Start(pty.path, "COM10", 2400), LinkResult::Opened("[WARN] Connected PBX : COM1, 2400"));

  termios tio{};
  ASSERT_EQ(::tcgetattr(pty.slave.get(), &tio), 0);
  EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B2400));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
}

TEST(SerialLink, StartFailuresCarryTheSystemErrorAndLeaveThePortClosed) {
  testing::TempDir dir;
  testing::WriteFile(dir / "not-a-tty", "x");
  Pty pty;
  struct Case {
    std::string path;
    int speed;
    const char* expected;
    int error;
  };
  const Case cases[] = {
      {(dir / "missing").string(), 9600, "[ERR] RS232C - CreateFile 실패 ErrNo:2", 2},
      {(dir / "not-a-tty").string(), 9600, "[ERR] RS232C - GetCommState 실패 ErrNo:25", 25},
      {pty.path, 576700, "[ERR] RS232C - SetCommState 실패 ErrNo:22", 22},
  };
  testing::FakeTimeLoop loop;
  for (const Case& c : cases) {
    SerialLink link(loop.strand, loop.timers);
    EXPECT_EQ(link.Start(c.path, "COM1", c.speed), LinkResult::Failed(c.expected, c.error));
    EXPECT_FALSE(link.IsOpen());
  }
}

TEST(SerialLink, APortAnotherProgramHoldsIsAFailedStartAndAStoppedLinkLetsItsPortGo) {
  const LinkResult busy = LinkResult::Failed("[ERR] RS232C - CreateFile 실패 ErrNo:16", 16);
  testing::FakeTimeLoop loop;
  SerialLink first(loop.strand, loop.timers), second(loop.strand, loop.timers);
  // Another program holds the port by its advisory lock, or in exclusive mode (which
  // would let root in).
  for (const bool byLock : {true, false}) {
    Pty pty;
    const int holder = pty.slave.get();
    ASSERT_EQ(byLock ? ::flock(holder, LOCK_EX | LOCK_NB) : ::ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(first.Start(pty.path, "COM1", 9600), busy);
    EXPECT_FALSE(first.IsOpen());
    ASSERT_EQ(byLock ? ::flock(holder, LOCK_UN) : ::ioctl(holder, TIOCNXCL), 0);
    EXPECT_TRUE(first.Start(pty.path, "COM1", 9600).ok);
    // Two readers would split the bytes between them.
    EXPECT_EQ(second.Start(pty.path, "COM1", 9600), busy);
    first.Stop();
    int exclusive = -1;
    ASSERT_EQ(::ioctl(holder, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_TRUE(second.Start(pty.path, "COM1", 9600).ok);
    second.Stop();
  }
}

TEST(SerialLink, DeliversChunksOfAtMost4096BytesInOrder) {
  Pty pty;
  SerialFixture f;
  ASSERT_TRUE(f.link.Start(pty.path, "COM1", 115200).ok);
  f.link.Begin(f.recorder.Handlers());

  pty.Write("hello");
  ASSERT_TRUE(f.recorder.WaitBytes(5));
  EXPECT_EQ(f.recorder.chunks().front(), "hello");

  std::string burst;
  for (int i = 0; burst.size() < 20000; ++i) burst += std::to_string(i) + ",";
  std::thread writer([&] { pty.Write(burst); });
  ASSERT_TRUE(f.recorder.WaitBytes(5 + burst.size()));
  writer.join();
  EXPECT_EQ(f.recorder.bytes(), "hello" + burst);
  for (const std::string& chunk : f.recorder.chunks()) EXPECT_LE(chunk.size(), SerialLink::kChunkBytes);
  EXPECT_EQ(f.loop.timers.armedCount(), 0u) << "without a quiet gap nothing waits";
}

TEST(SerialLink, QuietGapIsFiveCharacterTimesAndAtLeast50Ms) {
  const std::pair<int, int> cases[] = {{300, 167}, {600, 84}, {1200, 50}, {9600, 50}, {115200, 50}};
  for (const auto& [baud, gapMs] : cases) EXPECT_EQ(SerialQuietGap(baud), std::chrono::milliseconds(gapMs)) << baud;
}

TEST(SerialLink, AChunkEndsOnlyWhenTheLineHasBeenQuietForTheWholeGap) {
  Pty pty;
  SerialFixture f;
  ASSERT_TRUE(f.link.Start(pty.path, "COM1", 9600, {.quietGap = 20ms}).ok);
  f.link.Begin(f.recorder.Handlers());

  pty.Write("1\x02");
  ASSERT_TRUE(f.loop.timers.WaitForDue(20ms));
  EXPECT_EQ(f.loop.timers.Advance(19ms), 0);
  // Each byte read restarts the gap.
  pty.Write("1002");
  ASSERT_TRUE(f.loop.timers.WaitForDue(20ms));
  EXPECT_EQ(f.loop.timers.Advance(19ms), 0);
  EXPECT_TRUE(f.recorder.chunks().empty());
  EXPECT_EQ(f.loop.timers.Advance(1ms), 1);
  EXPECT_EQ(f.recorder.chunks(), std::vector<std::string>{"1\x02"
                                                          "1002"});
  // The next message is a chunk of its own.
  pty.Write("34\x03");
  EXPECT_EQ(f.loop.timers.AdvanceWhenDue(20ms), 1);
  EXPECT_EQ(f.recorder.chunks().back(), "34\x03");
  // A gap timer that runs late, with bytes waiting that the held-up loop has not read,
  // cannot tell them from the rest of the message: they stay in its chunk.
  pty.Write("5");
  ASSERT_TRUE(f.loop.timers.WaitForDue(20ms));
  std::promise<void> holding, release;
  asio::post(f.loop.strand, [&] {
    holding.set_value();
    release.get_future().wait();
  });
  holding.get_future().wait();
  std::thread late([&] { f.loop.timers.Advance(20ms); });
  ASSERT_TRUE(f.loop.timers.WaitForNoneArmed());  // its run waits behind the hold
  pty.Write("6");
  ASSERT_EQ(pty.WaitUnread(), 1u);
  release.set_value();
  late.join();
  EXPECT_EQ(f.loop.timers.AdvanceWhenDue(20ms), 1);
  EXPECT_EQ(f.recorder.chunks(), (std::vector<std::string>{"1\x02"
                                                           "1002",
                                                           "34\x03", "56"}));
}

TEST(SerialLink, Model7PollsWithZEvery100MsAndOtherModelsWriteNothing) {
  for (const bool model7 : {true, false}) {
    Pty pty;
    SerialFixture f;
    ASSERT_TRUE(f.link.Start(pty.path, "COM2", 9600, {.pollWithZ = model7}).ok);
    f.link.Begin(f.recorder.Handlers());
    pty.Write("x");  // news from the box changes nothing about the pace
    ASSERT_TRUE(f.recorder.WaitBytes(1));
    // The first "Z" goes at once, the next each time the pace comes round.
    if (model7) {
      ASSERT_TRUE(f.loop.timers.WaitForDue(100ms));
    }
    EXPECT_EQ(f.loop.timers.Advance(99ms), 0);
    EXPECT_EQ(f.loop.timers.Advance(1ms), model7 ? 1 : 0);
    EXPECT_EQ(f.loop.timers.Advance(300ms), model7 ? 3 : 0);
    EXPECT_EQ(pty.Read(model7 ? 5 : 0), model7 ? "ZZZZZ" : "");
    std::string extra;
    EXPECT_FALSE(pty.ReadNow(extra)) << extra;
  }
}

TEST(SerialLink, StopClosesThePortEndsItsTimersAndStartOpensItAgain) {
  Pty pty;
  SerialFixture f;
  ASSERT_TRUE(f.link.Start(pty.path, "COM1", 9600, {.pollWithZ = true}).ok);
  f.link.Begin(f.recorder.Handlers());
  pty.Write("a");
  ASSERT_TRUE(f.recorder.WaitBytes(1));
  f.link.Stop();
  EXPECT_FALSE(f.link.IsOpen());
  EXPECT_EQ(f.loop.timers.armedCount(), 0u);
  f.link.Stop();  // twice is harmless

  ASSERT_TRUE(f.link.Start(pty.path, "COM1", 9600).ok);
  Recorder again;
  f.link.Begin(again.Handlers());
  pty.Write("again");
  ASSERT_TRUE(again.WaitBytes(5));
  EXPECT_EQ(again.bytes(), "again");
  EXPECT_EQ(f.recorder.bytes(), "a");
  f.link.Stop();  // while `again` is still there to hear of it
}

TEST(SerialLink, AnUnpluggedPortIsReportedOnceAndReopenedEverySecondUntilPluggedBackIn) {
  testing::TempDir dir;
  const auto path = dir / "ttyUSB0";
  auto pty = std::make_unique<Pty>();
  std::filesystem::create_symlink(pty->path, path);
  SerialFixture f;
  ASSERT_TRUE(f.link.Start(path.string(), "COM3", 19200).ok);
  f.link.Begin(f.recorder.Handlers());
  pty->Write("  1ab");
  ASSERT_TRUE(f.recorder.WaitBytes(5));

  // Pulled: reads fail, and the device path is gone for a few reopen attempts.
  pty.reset();
  std::filesystem::remove(path);
  ASSERT_TRUE(f.recorder.WaitStatuses(3));
  for (int attempt = 0; attempt < 3; ++attempt) EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 1);
  // Back, but another program has taken it: said once, and tried again until it lets go.
  pty = std::make_unique<Pty>();
  std::filesystem::create_symlink(pty->path, path);
  ASSERT_EQ(::flock(pty->slave.get(), LOCK_EX | LOCK_NB), 0);
  for (int attempt = 0; attempt < 2; ++attempt) EXPECT_EQ(f.loop.timers.AdvanceWhenDue(1000ms), 1);
  ASSERT_EQ(::flock(pty->slave.get(), LOCK_UN), 0);
  EXPECT_EQ(f.loop.timers.Advance(999ms), 0);
  EXPECT_EQ(f.recorder.statuses().size(), 4u);
  EXPECT_EQ(f.loop.timers.Advance(1ms), 1);
  pty->Write("back");
  ASSERT_TRUE(f.recorder.WaitBytes(9));
  EXPECT_EQ(f.recorder.bytes(), "  1abback");
  EXPECT_EQ(f.recorder.statuses(), (std::vector<std::string>{"(cut)", "[ERR] ReadFIle 실패 : 5", "(down)",
                                                             "[ERR] RS232C - CreateFile 실패 ErrNo:16",
                                                             "[WARN] Reconnected PBX : COM3, 19200", "(up)"}));
  EXPECT_EQ(f.recorder.errors(), (std::vector<std::optional<int>>{5, 16, std::nullopt}));
  // Every reopen is told: the path gone (ENOENT), held by another program (EBUSY), back.
  EXPECT_EQ(f.recorder.progress(),
            (std::vector<LinkEvent>{
                testing::Retrying(0, 5, "[ERR] ReadFIle 실패 : 5"), testing::Retrying(1, 2), testing::Retrying(2, 2),
                testing::Retrying(3, 2), testing::Retrying(4, 16, "[ERR] RS232C - CreateFile 실패 ErrNo:16"),
                testing::Retrying(5, 16), testing::Reconnected(6, "[WARN] Reconnected PBX : COM3, 19200")}));
}

}  // namespace
}  // namespace lindra
