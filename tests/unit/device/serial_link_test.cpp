#include "device/serial_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <filesystem>
#include <memory>
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
  UniqueFd master, slave;
  std::string path;
};

// Runs the link on its own thread, as the channel's LoopThread does.
struct Reader {
  Reader(SerialLink& link, Recorder& recorder, SerialReading reading = {})
      : link(link), thread([&link, &recorder, reading] { link.Run(reading, recorder.Handlers()); }) {}
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

TEST(SerialLink, QuietGapIsFiveCharacterTimesAndAtLeast20Ms) {
  const std::pair<int, int> cases[] = {{300, 167}, {1200, 42}, {2400, 21}, {4800, 20}, {9600, 20}, {115200, 20}};
  for (const auto& [baud, gapMs] : cases) EXPECT_EQ(SerialQuietGapMs(baud), gapMs) << baud;
}

TEST(SerialLink, ChunksEndAtOnceOrOnlyAtAQuietGap) {
  // A device writing a byte every 20 ms: read at once, the bytes come in many chunks;
  // with a quiet gap far longer than that, in one.
  const std::string message =
      "1\x02"
      "100212340000\x03";
  for (const int gapMs : {0, 1000}) {
    Pty pty;
    SerialLink link;
    ASSERT_EQ(link.Start(pty.path, "COM1", 9600)[1], 'W');
    Recorder recorder;
    Reader reader(link, recorder, {false, gapMs});
    for (char c : message) {
      pty.Write(std::string_view(&c, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the device's pace, not a wait for the link
    }
    ASSERT_TRUE(recorder.WaitBytes(message.size()));
    EXPECT_EQ(recorder.bytes(), message);
    if (gapMs > 0)
      EXPECT_EQ(recorder.chunks().size(), 1u);
    else
      EXPECT_GT(recorder.chunks().size(), message.size() / 2);
  }
}

TEST(SerialLink, Model7PollsWithZAboutEvery100MsWhileIdle) {
  Pty pty;
  SerialLink link;
  ASSERT_EQ(link.Start(pty.path, "COM2", 9600)[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder, {.pollWithZ = true});
  EXPECT_EQ(pty.Read(1), "Z");
  // Polls written while the test was not reading are drained; from the next one on,
  // three more take at least two poll intervals (a writer looping flat out would
  // have filled the terminal by now).
  std::string drained;
  while (pty.ReadNow(drained)) {
  }
  EXPECT_LE(drained.size(), 5u) << "polls written faster than every 100 ms";
  EXPECT_EQ(pty.Read(1), "Z");
  const auto first = std::chrono::steady_clock::now();
  EXPECT_EQ(pty.Read(2), "ZZ");
  EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(2 * SerialLink::kPollIntervalMs - 20));
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
  link.Run({}, {[&](std::string_view) { link.Stop(); }, [](const std::string&) {}, [](LinkEvent) {}});
  EXPECT_FALSE(link.IsOpen());
}

TEST(SerialLink, AnUnpluggedPortIsReportedOnceAndReopenedWhenPluggedBackIn) {
  testing::TempDir dir;
  const auto path = dir / "ttyUSB0";
  auto pty = std::make_unique<Pty>();
  std::filesystem::create_symlink(pty->path, path);
  SerialLink link({50, 50});
  ASSERT_EQ(link.Start(path.string(), "COM3", 19200)[1], 'W');
  Recorder recorder;
  Reader reader(link, recorder);
  pty->Write("  1ab");
  ASSERT_TRUE(recorder.WaitBytes(5));

  // Pulled: reads fail, and the device path is gone for a few reopen attempts.
  pty.reset();
  std::filesystem::remove(path);
  ASSERT_TRUE(recorder.WaitStatuses(3));
  pty = std::make_unique<Pty>();
  std::filesystem::create_symlink(pty->path, path);
  ASSERT_TRUE(recorder.WaitStatuses(5));
  pty->Write("back");
  ASSERT_TRUE(recorder.WaitBytes(9));
  EXPECT_EQ(recorder.bytes(), "  1abback");
  EXPECT_EQ(recorder.statuses(), (std::vector<std::string>{"(cut)", "[ERR] ReadFIle 실패 : 5", "(down)",
                                                           "[WARN] Reconnected PBX : COM3, 19200", "(up)"}));
  link.Stop();  // also ends a pause between reopen attempts
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
