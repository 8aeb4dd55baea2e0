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

TEST(PurgeOldLogsTest, DeletesOwnLogsOlderThanSevenDaysAndStartReports) {
  TempDir dir;
  // Other programs' files share the folder: old, undated or nearly ours, they stay.
  const std::set<std::string> foreign = {"dpkg.log",
                                         "Xorg.0.log",
                                         "app-2026-12-07.log",
                                         "a.log",
                                         "UPPER_260101.LOG",
                                         "Program_DEV05_200101.log",
                                         "Program_DEV1_200101.log",
                                         "program_dev01_200101.log",
                                         "Program_DEV01_200101.log.1",
                                         "Telephone_DEV01_20010.log",
                                         "X1234_200101.log",
                                         "H1234_200101.txt",
                                         "H1234_Started.log",
                                         "lindra2Update.log"};
  for (const auto& name : foreign) WriteFile(dir / name, "x");
  for (const char* name :
       {"Program_DEV01_260306.log", "Program_DEV01_260307.log", "Telephone_DEV02_260314.log",
        "Telephone_DEV04_251231.log", "H0001_260314_Started.log", "H0001_260306.log", "H0001_260307.log"})
    WriteFile(dir / name, "x");
  std::filesystem::create_directory(dir / "Program_DEV03_200101.log");

  int deleted = PurgeOldLogs(dir.path(), {2026, 3, 14, 8, 0, 0, 0});
  EXPECT_EQ(deleted, 4);
  std::set<std::string> kept = foreign;
  kept.insert(
      {"Program_DEV01_260307.log", "Telephone_DEV02_260314.log", "H0001_260307.log", "Program_DEV03_200101.log"});
  EXPECT_EQ(Names(dir.path()), kept);
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
