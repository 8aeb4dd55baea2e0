#include "log/log_purge.h"

#include <gtest/gtest.h>

#include <set>

#include "support/temp_dir.h"

namespace lindra {
namespace {

using testing::TempDir;
using testing::WriteFile;

std::set<std::string> Names(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

TEST(PurgeOldLogsTest, DeletesLogsOlderThanSevenDaysAndUndatedOnes) {
  TempDir dir;
  for (const char* name : {"Program_DEV01_260306.log", "Program_DEV01_260307.log", "Telephone_DEV02_260314.log",
                           "Telephone_DEV04_251231.log", "H0001_260314_Started.log", "a.log", "UPPER_260101.LOG",
                           "Program_DEV01_260306.txt", "lindra2Update.log.bak"})
    WriteFile(dir / name, "x");
  std::filesystem::create_directory(dir / "Program_DEV03_200101.log");

  int deleted = PurgeOldLogs(dir.path(), {2026, 3, 14, 8, 0, 0, 0});
  EXPECT_EQ(deleted, 5);
  EXPECT_EQ(Names(dir.path()),
            (std::set<std::string>{"Program_DEV01_260307.log", "Telephone_DEV02_260314.log", "Program_DEV01_260306.txt",
                                   "lindra2Update.log.bak", "Program_DEV03_200101.log"}));
}

TEST(PurgeOldLogsTest, CutOffCrossesTheYear) {
  TempDir dir;
  for (const char* name : {"Telephone_DEV01_251228.log", "Telephone_DEV01_251229.log", "Telephone_DEV01_260101.log",
                           "Telephone_DEV01_251130.log"})
    WriteFile(dir / name, "x");
  EXPECT_EQ(PurgeOldLogs(dir.path(), {2026, 1, 5, 12, 0, 0, 0}), 2);
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"Telephone_DEV01_251229.log", "Telephone_DEV01_260101.log"}));
  EXPECT_EQ(PurgeOldLogs(dir / "missing", {2026, 1, 5, 12, 0, 0, 0}), 0);
}

}  // namespace
}  // namespace lindra
