#include "log/slot_logs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "support/fake_clock.h"
#include "support/file_size_limit.h"
#include "support/said_lines.h"
#include "support/temp_dir.h"

namespace lindra {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::FileSizeLimit;
using testing::ReadFile;
using testing::SaidLines;
using testing::TempDir;

struct Line {
  std::string time, tag, text;
  long tid = 0;
};

// Reads one line by the layout: "HH:MM:SS.t", an 8-character tag, "[t-N] ", text.
std::optional<Line> ParseLine(const std::string& one) {
  auto digitsAt = [&one](std::initializer_list<size_t> positions) {
    for (size_t p : positions)
      if (p >= one.size() || !std::isdigit(static_cast<unsigned char>(one[p]))) return false;
    return true;
  };
  if (one.size() < 22 || !digitsAt({0, 1, 3, 4, 6, 7, 9}) || one[2] != ':' || one[5] != ':' || one[8] != '.')
    return std::nullopt;
  if (one[10] != '[' || one[16] != ']' || one[17] != ' ' || one.compare(18, 3, "[t-") != 0) return std::nullopt;
  size_t close = one.find("] ", 21);
  if (close == std::string::npos || close == 21) return std::nullopt;
  for (size_t p = 21; p < close; ++p)
    if (!digitsAt({p})) return std::nullopt;
  return Line{one.substr(0, 10), one.substr(10, 8), one.substr(close + 2), std::stol(one.substr(21, close - 21))};
}

// Splits a log file into its lines; every line must have the layout, and one file
// is written by one thread.
std::vector<Line> ReadLines(const std::filesystem::path& file) {
  std::vector<Line> lines;
  std::string content = ReadFile(file);
  size_t start = 0;
  for (size_t end; (end = content.find("\r\n", start)) != std::string::npos; start = end + 2) {
    auto line = ParseLine(content.substr(start, end - start));
    EXPECT_TRUE(line) << content.substr(start, end - start);
    if (!line) continue;
    lines.push_back(*line);
    EXPECT_EQ(lines.back().tid, lines.front().tid);
    EXPECT_NE(lines.back().tid, ::gettid()) << "lines are written by the writer thread";
  }
  EXPECT_EQ(start, content.size()) << "the file ends with a complete line";
  return lines;
}

std::vector<std::string> Texts(const std::vector<Line>& lines, bool withTag = true) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(withTag ? l.tag + l.text : l.text);
  return out;
}

// Waits (bounded) until `file` holds `count` line ends: the writer thread writes while
// the logs stay open, and a file has nothing to wait on.
bool WaitForLines(const std::filesystem::path& file, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  auto lineEnds = [&file] {
    const std::string content = ReadFile(file);
    size_t n = 0;
    for (size_t at = content.find("\r\n"); at != std::string::npos; at = content.find("\r\n", at + 2)) ++n;
    return n;
  };
  while (lineEnds() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class SlotLogsTest : public ::testing::Test {
 protected:
  TempDir dir;
  FakeClock clock{{2026, 3, 14, 10, 0, 0, 0}};
  std::filesystem::path logDir = dir / "state" / "Logs";
  std::filesystem::path program2 = logDir / "Program_DEV02_260314.log";
  std::filesystem::path telephone2 = logDir / "Telephone_DEV02_260314.log";
};

TEST_F(SlotLogsTest, DeviceEntriesAndTheirTypes) {
  SlotLogs logs(clock);
  EXPECT_FALSE(logs.IsOpen());
  EXPECT_EQ(logs.slotNo(), -1);
  logs.Open(logDir, 2, ProgramLogLevel("DEBUG"), true);
  EXPECT_TRUE(logs.IsOpen());
  EXPECT_EQ(logs.slotNo(), 2);
  logs.DeviceRaw(DeviceLogKind::Read, std::string_view("12 34\0after the zero", 20));
  logs.DeviceRaw(DeviceLogKind::Parse, "  1 frame");
  logs.Device(DeviceLogKind::Error, "recv 실패 : 10054");
  logs.Device(DeviceLogKind::Plain, "CTI Server stopped ----------------------");
  logs.ProgramLevel0("rejected 50% frame %s");
  logs.Telephone("DEV02: R 0212345678, 3, , 201, 127.0.0.2, , SENT:-1");
  logs.Shutdown();
  EXPECT_FALSE(logs.IsOpen());

  EXPECT_EQ(Texts(ReadLines(program2)), (std::vector<std::string>{
                                            "[DEBUG] DEV02: READ ----->",
                                            "[DEBUG] 12 34",
                                            "[DEBUG] DEV02: PARSE ----->",
                                            "[DEBUG]   1 frame",
                                            "[DEBUG] DEV02: ERROR",
                                            "[DEBUG] recv 실패 : 10054",
                                            "[DEBUG] CTI Server stopped ----------------------",
                                            "[ERROR] rejected 50% frame %s",
                                        }));
  auto phone = ReadLines(telephone2);
  EXPECT_EQ(Texts(phone), std::vector<std::string>{"[INFO ] DEV02: R 0212345678, 3, , 201, 127.0.0.2, , SENT:-1"});
  EXPECT_EQ(phone[0].time, "10:00:00.0");
}

TEST_F(SlotLogsTest, LevelKeepsDeviceLinesOutButNeverTelephoneLines) {
  for (const char* level : {"INFO", "info", "Warn", "ERROR"}) {
    TempDir own;
    SlotLogs logs(clock);
    logs.Open(own.path(), 2, ProgramLogLevel(level), true);
    logs.DeviceRaw(DeviceLogKind::Read, "raw");
    logs.Device(DeviceLogKind::Error, "message");
    logs.ProgramLevel0("level zero");
    logs.Telephone("call");
    logs.Shutdown();
    EXPECT_EQ(Texts(ReadLines(own / "Program_DEV02_260314.log"), false), std::vector<std::string>{"level zero"})
        << level;
    EXPECT_EQ(Texts(ReadLines(own / "Telephone_DEV02_260314.log"), false), std::vector<std::string>{"call"}) << level;
  }
}

TEST(ProgramLogLevelTest, NamesWithoutRegardToCase) {
  struct Case {
    const char* text;
    int level;
  } cases[] = {{"ERROR", 0}, {"error", 0}, {"WARN", 1}, {"wArN", 1},    {"INFO", 2},
               {"Info", 2},  {"DEBUG", 3}, {"", 3},     {"WARNING", 3}, {"verbose", 3}};
  for (const auto& c : cases) EXPECT_EQ(ProgramLogLevel(c.text), c.level) << c.text;
}

TEST_F(SlotLogsTest, OpensOnceAndOnlyForASlotWithAModel) {
  SlotLogs none(clock);
  none.Open(logDir, 1, 3, false);
  EXPECT_EQ(none.slotNo(), 1);
  EXPECT_FALSE(none.IsOpen());
  none.Telephone("dropped");
  none.Shutdown();
  EXPECT_FALSE(std::filesystem::exists(logDir));

  SlotLogs logs(clock);
  logs.Open(logDir, 2, 3, true);
  logs.Device(DeviceLogKind::Error, "first");
  logs.Open(logDir, 3, 0, true);  // only the slot number changes, not the level or files
  logs.Device(DeviceLogKind::Error, "second");
  logs.Shutdown();
  logs.Shutdown();
  logs.Device(DeviceLogKind::Error, "after shutdown");
  EXPECT_EQ(Texts(ReadLines(program2), false),
            (std::vector<std::string>{"DEV02: ERROR", "first", "DEV03: ERROR", "second"}));
  EXPECT_FALSE(std::filesystem::exists(logDir / "Program_DEV03_260314.log"));
}

TEST_F(SlotLogsTest, LinesFollowTheLogDayTheyWereProducedIn) {
  SlotLogs logs(clock);
  clock.Set({2026, 3, 15, 8, 59, 59, 0});
  logs.Open(logDir, 2, 3, true);
  logs.Telephone("yesterday's day");
  clock.Set({2026, 3, 15, 9, 0, 0, 0});
  logs.Telephone("today's day");
  logs.Shutdown();
  EXPECT_EQ(Texts(ReadLines(telephone2), false), std::vector<std::string>{"yesterday's day"});
  EXPECT_EQ(Texts(ReadLines(logDir / "Telephone_DEV02_260315.log"), false), std::vector<std::string>{"today's day"});
}

TEST_F(SlotLogsTest, ShutdownWritesEverythingStillQueuedInOrder) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  SlotLogs logs(clock);
  logs.Open(logDir, 2, 3, true);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&logs, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        std::string n = std::to_string(p) + ":" + std::to_string(i);
        logs.DeviceRaw(DeviceLogKind::Read, n);
        logs.Telephone(n);
      }
    });
  for (auto& t : producers) t.join();
  logs.Shutdown();

  // Each producer's lines in its own order; a READ heading right before its data.
  auto program = ReadLines(program2);
  ASSERT_EQ(program.size(), 2u * kProducers * kPerProducer);
  std::vector<int> next(kProducers, 0);
  for (size_t i = 0; i < program.size(); i += 2) {
    ASSERT_EQ(program[i].text, "DEV02: READ ----->");
    int p = program[i + 1].text[0] - '0';
    ASSERT_EQ(program[i + 1].text, std::to_string(p) + ":" + std::to_string(next[p]++));
  }
  auto phone = ReadLines(telephone2);
  ASSERT_EQ(phone.size(), 1u * kProducers * kPerProducer);
  std::fill(next.begin(), next.end(), 0);
  for (const auto& l : phone) {
    int p = l.text[0] - '0';
    ASSERT_EQ(l.text, std::to_string(p) + ":" + std::to_string(next[p]++));
  }
}

TEST_F(SlotLogsTest, TheLogsOfEverySlotAreWrittenByOneThread) {
  std::vector<std::unique_ptr<SlotLogs>> slots;
  for (int slot = 1; slot <= 4; ++slot) {
    slots.push_back(std::make_unique<SlotLogs>(clock));
    slots.back()->Open(logDir, slot, ProgramLogLevel("DEBUG"), true);
  }
  for (int round = 0; round < 100; ++round)
    for (auto& logs : slots) {
      logs->Device(DeviceLogKind::Plain, "line");
      logs->Telephone("call");
    }
  for (auto& logs : slots) logs->Shutdown();
  std::set<long> writers;
  for (const char* name : {"Program", "Telephone"})
    for (int slot = 1; slot <= 4; ++slot) {
      auto lines = ReadLines(logDir / (std::string(name) + "_DEV0" + std::to_string(slot) + "_260314.log"));
      ASSERT_EQ(lines.size(), 100u);
      writers.insert(lines.front().tid);
    }
  EXPECT_EQ(writers.size(), 1u);
}

TEST_F(SlotLogsTest, DestructionFlushesLikeShutdown) {
  {
    SlotLogs logs(clock);
    logs.Open(logDir, 2, 3, true);
    for (int i = 0; i < 1000; ++i) logs.Telephone("line " + std::to_string(i));
  }
  auto phone = ReadLines(telephone2);
  ASSERT_EQ(phone.size(), 1000u);
  EXPECT_EQ(phone.back().text, "line 999");
}

TEST_F(SlotLogsTest, LinesTheDiskRefusesWaitInOrderAndFollowWholeOnceItTakesThemAgain) {
  SaidLines reports;
  SlotLogs logs(clock, reports.Sink(), 10ms);
  logs.Open(logDir, 2, kLogError, true);
  logs.Telephone("call 0");
  ASSERT_TRUE(WaitForLines(telephone2, 1));
  // 12 MB of lines: more than may wait.
  constexpr int kCalls = 12000;
  const std::string padding(1000, 'x');
  auto call = [&padding](int i) { return "call " + std::to_string(i) + " " + padding; };
  {
    FileSizeLimit diskFull(std::filesystem::file_size(telephone2) + 10);
    for (int i = 1; i <= kCalls; ++i) logs.Telephone(call(i));
    const std::string failed = "[ERR] 로그 파일 쓰기 실패: " + telephone2.string() + " (ErrNo:27)";
    EXPECT_EQ(reports.WaitFor(1), std::vector<std::string>{failed});
    // Not a line is written meanwhile: each call waits or was dropped.
    const LogFigures full = logs.figures().telephone;
    EXPECT_GT(full.linesDropped, 0u);
    EXPECT_EQ(full.linesWaiting + full.linesDropped, size_t{kCalls});
    // A window for retries (every 10 ms) that must neither report again nor leave a torn line.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(reports.WaitFor(1), std::vector<std::string>{failed});
    EXPECT_EQ(Texts(ReadLines(telephone2), false), std::vector<std::string>{"call 0"});
  }
  const auto reported = reports.WaitFor(2);
  ASSERT_EQ(reported.size(), 2u);
  const std::string recovered = "[WARN] 로그 파일 쓰기 복구: " + telephone2.string() + " (버린 줄 ";
  ASSERT_TRUE(reported[1].starts_with(recovered)) << reported[1];
  const int dropped = std::stoi(reported[1].substr(recovered.size()));
  EXPECT_EQ(reported[1], recovered + std::to_string(dropped) + ")");
  EXPECT_GT(dropped, 0);
  EXPECT_LT(dropped, kCalls / 4) << "about 10 MB waits";

  // The calls that waited follow in order; the ones dropped are the last.
  std::vector<std::string> expected = {"call 0"};
  for (int i = 1; i <= kCalls - dropped; ++i) expected.push_back(call(i));
  EXPECT_EQ(Texts(ReadLines(telephone2), false), expected);
  const LogFigures after = logs.figures().telephone;
  EXPECT_EQ(after.linesWaiting, 0u);
  EXPECT_EQ(after.linesDropped, static_cast<uint64_t>(dropped));
  EXPECT_GE(after.writeFailures, 1u);
  EXPECT_EQ(logs.figures().program, LogFigures{}) << "the program log had nothing to write";
  logs.Shutdown();
  EXPECT_EQ(reports.WaitFor(2).size(), 2u) << "nothing more at the shutdown";
}

TEST_F(SlotLogsTest, AFifoAtTheNameHoldsUpNeitherTheStartNorTheOtherLogsNorTheShutdown) {
  std::filesystem::create_directories(logDir);
  ASSERT_EQ(::mkfifo(telephone2.c_str(), 0600), 0);
  SaidLines reports;
  SlotLogs logs(clock, reports.Sink(), 10ms);
  SlotLogs other(clock);
  logs.Open(logDir, 2, ProgramLogLevel("DEBUG"), true);
  other.Open(logDir, 3, ProgramLogLevel("DEBUG"), true);
  const std::string failed = "[ERR] 로그 파일 열기 실패: " + telephone2.string() + " (ErrNo:6)";
  EXPECT_EQ(reports.WaitFor(1), std::vector<std::string>{failed}) << "reported at the start";

  logs.Telephone("call 1");
  logs.Telephone("call 2");
  logs.Device(DeviceLogKind::Plain, "program line");
  other.Telephone("elsewhere");
  EXPECT_TRUE(WaitForLines(program2, 1));
  EXPECT_TRUE(WaitForLines(logDir / "Telephone_DEV03_260314.log", 1));
  logs.Shutdown();
  other.Shutdown();
  EXPECT_EQ(reports.WaitFor(2),
            (std::vector<std::string>{failed, "[ERR] 로그 파일 쓰기 포기: " + telephone2.string() + " (버린 줄 2)"}));
  // The open at the start failed, and so did at least the last try with the calls.
  const SlotLogFigures figures = logs.figures();
  EXPECT_GE(figures.telephone.writeFailures, 2u);
  EXPECT_EQ(figures.telephone.linesDropped, 2u);
  EXPECT_EQ(figures.telephone.linesWaiting, 0u);
  EXPECT_EQ(figures.program, LogFigures{});
  EXPECT_EQ(std::filesystem::status(telephone2).type(), std::filesystem::file_type::fifo);
  EXPECT_EQ(Texts(ReadLines(program2), false), std::vector<std::string>{"program line"});
}

}  // namespace
}  // namespace lindra
