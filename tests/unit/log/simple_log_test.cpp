#include "log/simple_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "text/codec.h"

namespace lindra {
namespace {

using testing::FakeClock;
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

TEST_F(SimpleLogTest, UnopenableFileDropsLinesUntilItCanBeOpened) {
  EXPECT_FALSE(log.Open(2, ""));
  log.Write(kLogError, "no base path");
  const auto missing = dir / "Logs";
  EXPECT_FALSE(log.Open(2, missing / "Program_DEV01_"));
  EXPECT_FALSE(log.IsOpen());
  log.Write(kLogError, "dropped");
  std::filesystem::create_directory(missing);
  log.Write(kLogError, "written");
  EXPECT_TRUE(log.IsOpen());
  EXPECT_EQ(ReadFile(missing / "Program_DEV01_260314.log"), "14:03:27.4[ERROR] " + ThreadTag() + "written\r\n");
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
