#include "device/serial_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <thread>

#include "link_test_support.h"
#include "support/temp_dir.h"
#include "text/strings.h"

namespace lindra {
namespace {

using testing::kPatience;
using testing::Recorder;

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
  UniqueFd master, slave;
  std::string path;
};

// Runs the link on its own thread, as the channel's LoopThread does.
struct Reader {
  Reader(SerialLink& link, Recorder& recorder, bool pollWithZ = false)
      : link(link), thread([&link, &recorder, pollWithZ] {
          link.Run(
              pollWithZ, [&](std::string_view chunk) { recorder.Chunk(chunk); },
              [&](const std::string& line) { recorder.Status(line); });
        }) {}
  ~Reader() {
    link.Stop();  // also when an assertion left the test early
    if (thread.joinable()) thread.join();
  }
  SerialLink& link;
  std::thread thread;
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
  const std::pair<const char*, int> cases[] = {{"COM1", 9600},  {"COM2", 1200},   {"COM3", 19200},
                                               {"COM4", 38400}, {"COM5", 115200}, {"COM6", 57600}};
  for (const auto& [port, speed] : cases) {
    SerialLink link;
    EXPECT_EQ(link.Start(pty.path, port, speed), text::Format("[WARN] Connected PBX : %s, %d", port, speed));
    EXPECT_TRUE(link.IsOpen());
  }
  SerialLink link;  // "%.4s": at most four characters of the name
  EXPECT_EQ(link.Start(pty.path, "COM10", 2400), "[WARN] Connected PBX : COM1, 2400");

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
  };
  const Case cases[] = {
      {(dir / "missing").string(), 9600, "[ERR] RS232C - CreateFile 실패 ErrNo:2"},
      {(dir / "not-a-tty").string(), 9600, "[ERR] RS232C - GetCommState 실패 ErrNo:25"},
      {pty.path, 576700, "[ERR] RS232C - SetCommState 실패 ErrNo:22"},
  };
  for (const Case& c : cases) {
    SerialLink link;
    EXPECT_EQ(link.Start(c.path, "COM1", c.speed), c.expected);
    EXPECT_FALSE(link.IsOpen());
  }
}

TEST(SerialLink, DeliversChunksOfAtMost4096BytesInOrder) {
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM1", 115200)[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder);

  pty.Write("hello");
  ASSERT_TRUE(recorder.WaitBytes(5));
  EXPECT_EQ(recorder.chunks().front(), "hello");

  std::string burst;
  for (int i = 0; burst.size() < 20000; ++i) burst += std::to_string(i) + ",";
  std::thread writer([&] { pty.Write(burst); });
  ASSERT_TRUE(recorder.WaitBytes(5 + burst.size()));
  writer.join();
  EXPECT_EQ(recorder.bytes(), "hello" + burst);
  for (const std::string& chunk : recorder.chunks()) EXPECT_LE(chunk.size(), SerialLink::kChunkBytes);
  link.Stop();
}

TEST(SerialLink, BytesWrittenBackToBackFormOneChunk) {
  // A chunk ends only when the line goes quiet, so a device that writes one message
  // in pieces is still read as one chunk (models 12 and 13 frame by chunk).
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM1", 9600)[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder);
  for (char c : std::string("1\x02"
                            "0212\r"))
    pty.Write(std::string_view(&c, 1));
  ASSERT_TRUE(recorder.WaitBytes(7));
  EXPECT_EQ(recorder.chunks(), std::vector<std::string>{"1\x02"
                                                        "0212\r"});
}

TEST(SerialLink, Model7PollsWithZWhileIdle) {
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM2", 9600)[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder, /*pollWithZ=*/true);
  EXPECT_EQ(pty.Read(3), "ZZZ");
  link.Stop();
}

TEST(SerialLink, OtherModelsWriteNothing) {
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM2", 9600)[1], 'W');
  Recorder recorder;
  {
    Reader reader(link, recorder);
    pty.Write("x");
    ASSERT_TRUE(recorder.WaitBytes(1));
    link.Stop();
  }
  pollfd fd{pty.master.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&fd, 1, 0), 0);
}

TEST(SerialLink, StopEndsAnIdleRunAndClosesThePort) {
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM1", 9600)[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder);
  pty.Write("a");
  ASSERT_TRUE(recorder.WaitBytes(1));  // Run is inside its wait now
  link.Stop();
  reader.thread.join();
  EXPECT_FALSE(link.IsOpen());
  link.Stop();  // twice is harmless
}

TEST(SerialLink, StopFromInsideTheHandlerClosesThePortAsRunReturns) {
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM1", 9600)[1], 'W');
  pty.Write("abc");
  link.Run(
      false, [&](std::string_view) { link.Stop(); }, [](const std::string&) {});
  EXPECT_FALSE(link.IsOpen());
}

TEST(SerialLink, ReadFailureIsReportedOnceAndThePauseEndsAtStop) {
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM1", 9600)[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder);
  pty.slave.Reset();
  pty.master.Reset();  // the line is gone: reads fail with EIO
  ASSERT_TRUE(recorder.WaitStatuses(1));
  EXPECT_EQ(recorder.statuses().front(), "[ERR] ReadFIle 실패 : 5");
  link.Stop();  // cuts the 1000 ms pause short
  reader.thread.join();
  for (const std::string& line : recorder.statuses()) EXPECT_EQ(line, "[ERR] ReadFIle 실패 : 5");
}

TEST(SerialLink, StartAgainAfterStop) {
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM1", 9600)[1], 'W');
  link.Stop();
  ASSERT_EQ(link.Start(pty.path, "COM1", 9600)[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder);
  pty.Write("again");
  ASSERT_TRUE(recorder.WaitBytes(5));
  EXPECT_EQ(recorder.bytes(), "again");
  link.Stop();
}

}  // namespace
}  // namespace lindra
