#include "log/simple_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/unique_fd.h"
#include "support/fake_clock.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"
#include "text/codec.h"

namespace lindra {
namespace {

using testing::FakeClock;
using testing::FileSizeLimit;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::string ThreadTag() { return "[t-" + std::to_string(::gettid()) + "] "; }

class SimpleLogTest : public ::testing::Test {
 protected:
  TempDir dir;
  FakeClock clock{{2026, 3, 14, 14, 3, 27, 482}};
  CSimpleLog log{clock};
  std::filesystem::path base = dir / "Telephone_DEV01_";
};

TEST_F(SimpleLogTest, LineLayoutIsExactAndTextIsNeverAFormat) {
  ASSERT_TRUE(log.Open(2, base));
  EXPECT_EQ(log.fileDate(), "260314");
  log.Write(kLogInfo, "DEV01: T 0212345678, 3, 0215550000, 201, 127.0.0.2, , SENT:30");
  clock.Set({2026, 3, 14, 14, 3, 28, 7});
  log.Write(kLogError, "100% %s %d %n");
  log.Write(kLogDebug, "above the level");
  const std::string longChunk(5000, 'x');  // beyond a 4096-character line buffer
  log.Write(kLogInfo, longChunk);
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260314.log"),
            "14:03:27.4[INFO ] " + ThreadTag() + "DEV01: T 0212345678, 3, 0215550000, 201, 127.0.0.2, , SENT:30\r\n" +
                "14:03:28.0[ERROR] " + ThreadTag() + "100% %s %d %n\r\n" + "14:03:28.0[INFO ] " + ThreadTag() +
                longChunk + "\r\n");
}

TEST_F(SimpleLogTest, ALinkAtTheLogsNameIsReplacedNeverWrittenThrough) {
  WriteFile(dir / "victim", "untouched");
  std::filesystem::create_symlink(dir / "victim", dir / "Telephone_DEV01_260314.log");
  ASSERT_TRUE(log.Open(2, base));
  log.Write(kLogInfo, "line");
  EXPECT_EQ(ReadFile(dir / "victim"), "untouched");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "Telephone_DEV01_260314.log"));
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260314.log"), "14:03:27.4[INFO ] " + ThreadTag() + "line\r\n");
}

TEST_F(SimpleLogTest, FileFollowsTheLogDayAtNineOClock) {
  clock.Set({2026, 3, 14, 8, 59, 59, 999});
  ASSERT_TRUE(log.Open(3, base));
  log.Write(kLogWarn, "before nine");
  clock.Set({2026, 3, 14, 9, 0, 0, 0});
  log.Write(kLogWarn, "at nine");
  EXPECT_EQ(log.fileDate(), "260314");
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260313.log"), "08:59:59.9[WARN ] " + ThreadTag() + "before nine\r\n");
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260314.log"), "09:00:00.0[WARN ] " + ThreadTag() + "at nine\r\n");

  // A batch written late still files each line under the day it was produced on.
  LogBatch batch;
  batch.push_back({{2026, 3, 15, 8, 59, 59, 500}, kLogInfo, "late a"});
  batch.push_back({{2026, 3, 15, 9, 0, 0, 100}, kLogInfo, "late b"});
  batch.push_back({{2026, 3, 15, 9, 0, 0, 200}, kLogDebug, "late c"});
  log.Write(batch);
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260314.log"),
            "09:00:00.0[WARN ] " + ThreadTag() + "at nine\r\n" + "08:59:59.5[INFO ] " + ThreadTag() + "late a\r\n");
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260315.log"),
            "09:00:00.1[INFO ] " + ThreadTag() + "late b\r\n" + "09:00:00.2[DEBUG] " + ThreadTag() + "late c\r\n");
}

TEST_F(SimpleLogTest, AppendKeepsAndOverwriteEmptiesTheFile) {
  WriteFile(dir / "Telephone_DEV01_260314.log", "old\r\n");
  ASSERT_TRUE(log.Open(2, base));
  log.Write(kLogInfo, "new");
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260314.log"), "old\r\n14:03:27.4[INFO ] " + ThreadTag() + "new\r\n");

  CSimpleLog fresh(clock);
  ASSERT_TRUE(fresh.Open(2, base, /*append=*/false));
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260314.log"), "");

  CSimpleLog plain(clock);
  ASSERT_TRUE(plain.Open(2, dir / "single", true, /*daily=*/false));
  plain.Write(kLogInfo, "x");
  EXPECT_EQ(ReadFile(dir / "single.log"), "14:03:27.4[INFO ] " + ThreadTag() + "x\r\n");
}

TEST_F(SimpleLogTest, AFileThatCannotBeOpenedTakesNoLinesUntilItCan) {
  EXPECT_FALSE(log.Open(2, ""));
  EXPECT_FALSE(log.Write(kLogError, "no base path"));
  const auto missing = dir / "Logs";
  EXPECT_FALSE(log.Open(2, missing / "Program_DEV01_"));
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(log.failure().step, LogFailure::Step::Open);
  EXPECT_EQ(log.failure().error, ENOENT);
  EXPECT_EQ(log.failure().file, missing / "Program_DEV01_260314.log");
  EXPECT_FALSE(log.Write(kLogError, "not written"));
  std::filesystem::create_directory(missing);
  EXPECT_TRUE(log.Write(kLogError, "written"));
  EXPECT_TRUE(log.IsOpen());
  EXPECT_EQ(ReadFile(missing / "Program_DEV01_260314.log"), "14:03:27.4[ERROR] " + ThreadTag() + "written\r\n");
}

TEST_F(SimpleLogTest, OnlyARegularFileIsWrittenAndAFifoNeverHoldsTheOpen) {
  const auto name = dir / "Telephone_DEV01_260314.log";
  ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
  EXPECT_FALSE(log.Open(2, base)) << "a FIFO without a reader";
  EXPECT_EQ(log.failure().step, LogFailure::Step::Open);
  EXPECT_EQ(log.failure().error, ENXIO);
  EXPECT_EQ(log.failure().file, name);

  UniqueFd reader(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader);
  EXPECT_FALSE(log.Write(kLogInfo, "line"));
  EXPECT_EQ(log.failure().step, LogFailure::Step::NotRegularFile);
  char byte;
  EXPECT_LE(::read(reader.get(), &byte, 1), 0) << "nothing was written into the FIFO";

  std::filesystem::remove(name);
  EXPECT_TRUE(log.Write(kLogInfo, "line"));
  EXPECT_EQ(ReadFile(name), "14:03:27.4[INFO ] " + ThreadTag() + "line\r\n");
}

TEST_F(SimpleLogTest, ALineIsInItsFileWholeOrNotAtAll) {
  const auto today = dir / "Telephone_DEV01_260314.log";
  ASSERT_TRUE(log.Open(2, base));
  ASSERT_TRUE(log.Write(kLogInfo, "before"));
  const std::string before = ReadFile(today);
  auto line = [](const char* time, const std::string& text) {
    return time + ("[INFO ] " + ThreadTag()) + text + "\r\n";
  };
  LogBatch batch;
  for (const char* text : {"first", "second", "third"}) batch.push_back({clock.Now(), kLogInfo, text});
  batch.push_back({{2026, 3, 15, 9, 0, 0, 0}, kLogInfo, "next day"});
  auto texts = [&batch] {
    std::vector<std::string> out;
    for (const auto& l : batch) out.push_back(l.text);
    return out;
  };
  {
    // The day's file stops five bytes into "second"; the next day's new file has room.
    FileSizeLimit limit(before.size() + line("14:03:27.4", "first").size() + 5);
    log.Write(batch);
    EXPECT_EQ(ReadFile(today), before + line("14:03:27.4", "first"));
    EXPECT_EQ(texts(), (std::vector<std::string>{"second", "third"}));
    EXPECT_EQ(log.failure().step, LogFailure::Step::Write);
    EXPECT_EQ(log.failure().error, EFBIG);
    EXPECT_EQ(log.failure().file, today);
    EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260315.log"), line("09:00:00.0", "next day"));

    log.Write(batch);  // still full: torn again, cut again
    EXPECT_EQ(texts(), (std::vector<std::string>{"second", "third"}));
    EXPECT_EQ(ReadFile(today), before + line("14:03:27.4", "first"));
  }
  log.Write(batch);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(ReadFile(today),
            before + line("14:03:27.4", "first") + line("14:03:27.4", "second") + line("14:03:27.4", "third"));
}

TEST_F(SimpleLogTest, TextGoesOutInTheCodePage) {
  ASSERT_TRUE(text::SetCodePage("CP949"));
  ASSERT_TRUE(log.Open(2, base));
  log.Write(kLogInfo, "가나");
  ASSERT_TRUE(text::SetCodePage("UTF-8"));
  EXPECT_EQ(ReadFile(dir / "Telephone_DEV01_260314.log"), "14:03:27.4[INFO ] " + ThreadTag() + "\xB0\xA1\xB3\xAA\r\n");
}

}  // namespace
}  // namespace lindra
