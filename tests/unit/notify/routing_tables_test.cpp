#include "notify/routing_tables.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_dir.h"
#include "text/codec.h"

namespace lindra {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(RoutingTableFiles, NamesBySlot) {
  EXPECT_EQ(RoutingTableFileName(TableKind::Did, 1), "did.tbl");
  EXPECT_EQ(RoutingTableFileName(TableKind::Agent, 1), "ip.tbl");
  EXPECT_EQ(RoutingTableFileName(TableKind::Did, 2), "did2.tbl");
  EXPECT_EQ(RoutingTableFileName(TableKind::Agent, 4), "ip4.tbl");
}

TEST(RoutingTableParsing, AgentLinesAreSplitTrimmedAndFiltered) {
  AgentList rows = ParseAgentTable(
      "201   192.168.10.5\r\n"
      "201\r\n"                 // no space: skipped
      "\r\n   \n"               // blank lines
      "2a01 10.0.0.x\r\n"       // dropped characters, trailing dot kept
      "  202\t 127.0.0.3 x \n"  // trimmed line and columns
      "203\t127.0.0.4\n"        // a tab is not the separator
      "204 1.2.3.4 5.6");       // last line without LF; the second column keeps its dots and digits
  EXPECT_EQ(rows,
            (AgentList{{"201", "192.168.10.5"}, {"201", "10.0.0."}, {"202", "127.0.0.3"}, {"204", "1.2.3.45.6"}}));
}

TEST(RoutingTableParsing, DidColumnsKeepTheirCharacterSets) {
  DidList rows = ParseDidTable("701:708 02-1588-1234\n 0701 x \n7a0#1 15881234\n");
  EXPECT_EQ(rows, (DidList{{"701:708", "0215881234"}, {"0701", ""}, {"701", "15881234"}}));
}

class LoadRoutingTablesTest : public ::testing::Test {
 protected:
  // The texts of the lines; a read failure's line also carries its errno.
  std::vector<std::string> Load(std::array<uint32_t, 4> models) {
    std::vector<std::string> texts;
    for (const StatusLine& line : LoadRoutingTables(dir.path(), tables, models)) {
      if (line.text.find("읽기 실패") != std::string::npos) {
        EXPECT_EQ(line.severity, Severity::Error) << line.text;
        EXPECT_TRUE(line.error.has_value()) << line.text;
      }
      texts.push_back(line.text);
    }
    return texts;
  }
  TempDir dir;
  std::array<RoutingTables, 4> tables;
};

TEST_F(LoadRoutingTablesTest, ReportsInOrderAndSwitchesEmptyOrMissingOperatorTablesToBroadcast) {
  WriteFile(dir / "did.tbl", "701:708 0215881234\r\n709 0215885678\r\n");
  WriteFile(dir / "ip.tbl", "201 127.0.0.2\r\n");
  WriteFile(dir / "did2.tbl", "");
  WriteFile(dir / "ip2.tbl", "\r\n  \r\n");
  // Slot 3 has no files at all; slot 4 has no model and is not read.
  std::vector<std::string> lines = Load({102, 5, 202, 0});
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "[WARN] DEV01 대표전화 테이블 읽기 완료: did.tbl (2)",
                       "[WARN] DEV02 대표전화 테이블 읽기 완료: did2.tbl (0)",
                       "[ERR] DEV03 대표전화 테이블 읽기 실패: 2 (did3.tbl)",
                       "[WARN] DEV01 상담원IP 테이블 읽기 완료: ip.tbl (1)",
                       "[WARN] DEV02 상담원IP 테이블 읽기 완료: ip2.tbl (0)",
                       "[WARN] DEV02 Broadcasting으로 전환",
                       "[ERR] DEV03 상담원IP 테이블 읽기 실패: 2 (ip3.tbl)",
                       "[WARN] DEV03 Broadcasting으로 전환",
                   }));
  EXPECT_EQ(tables[0].Dids()->size(), 2u);
  EXPECT_FALSE(tables[0].broadcastMode());
  EXPECT_TRUE(tables[1].broadcastMode());
  EXPECT_TRUE(tables[2].broadcastMode());
  EXPECT_TRUE(tables[2].Dids()->empty());
  EXPECT_FALSE(tables[3].broadcastMode());
}

TEST_F(LoadRoutingTablesTest, ModelCodesOutsideOneTo999AreNotLoadedAndReloadReplacesTables) {
  WriteFile(dir / "did.tbl", "701 1\r\n");
  WriteFile(dir / "did2.tbl", "702 2\r\n");
  Load({1, 1000, 0, 0});
  EXPECT_EQ(tables[0].Dids()->size(), 1u);
  EXPECT_TRUE(tables[0].broadcastMode());
  EXPECT_TRUE(tables[1].Dids()->empty());

  // Read again (a settings change, a reload): what was read replaces the tables, and
  // operator rows end the broadcast.
  WriteFile(dir / "did.tbl", "");
  WriteFile(dir / "ip.tbl", "201 127.0.0.2\r\n");
  EXPECT_EQ(Load({999, 0, 0, 0}), (std::vector<std::string>{
                                      "[WARN] DEV01 대표전화 테이블 읽기 완료: did.tbl (0)",
                                      "[WARN] DEV01 상담원IP 테이블 읽기 완료: ip.tbl (1)",
                                      "[WARN] DEV01 상담원별 전송으로 전환",
                                  }));
  EXPECT_TRUE(tables[0].Dids()->empty());
  EXPECT_EQ(tables[0].Agents()->size(), 1u);
  EXPECT_FALSE(tables[0].broadcastMode());
}

// A reload that cannot read a file keeps the table the slot runs with (and its
// broadcast switch); a slot's first load, also after it had no model, goes by the
// start's rules. Files that are no regular file or too large are refused unread.
TEST_F(LoadRoutingTablesTest, AReloadThatCannotReadATableKeepsTheRunningOne) {
  WriteFile(dir / "did.tbl", "701 1\r\n");
  WriteFile(dir / "ip.tbl", "201 127.0.0.2\r\n202 127.0.0.3\r\n");
  Load({2, 0, 0, 0});
  const AgentList running = *tables[0].Agents();

  std::filesystem::remove(dir / "ip.tbl");
  std::filesystem::remove(dir / "did.tbl");
  ASSERT_EQ(::mkfifo((dir / "did.tbl").c_str(), 0600), 0);
  EXPECT_EQ(Load({2, 0, 0, 0}), (std::vector<std::string>{
                                    "[ERR] DEV01 대표전화 테이블 읽기 실패: 22 (did.tbl)",
                                    "[ERR] DEV01 did.tbl: 일반 파일이 아님",
                                    "[WARN] DEV01 기존 대표전화 테이블 유지 (1)",
                                    "[ERR] DEV01 상담원IP 테이블 읽기 실패: 2 (ip.tbl)",
                                    "[WARN] DEV01 기존 상담원IP 테이블 유지 (2)",
                                }));
  EXPECT_EQ(*tables[0].Dids(), (DidList{{"701", "1"}}));
  EXPECT_EQ(*tables[0].Agents(), running);
  EXPECT_FALSE(tables[0].broadcastMode());

  // Sparse: it takes no room on the disk.
  WriteFile(dir / "ip.tbl", "");
  std::filesystem::resize_file(dir / "ip.tbl", kRoutingTableMaxBytes + 1);
  std::filesystem::create_symlink("/dev/zero", dir / "did2.tbl");
  WriteFile(dir / "ip2.tbl", "");
  EXPECT_EQ(Load({2, 3, 0, 0}), (std::vector<std::string>{
                                    "[ERR] DEV01 대표전화 테이블 읽기 실패: 22 (did.tbl)",
                                    "[ERR] DEV01 did.tbl: 일반 파일이 아님",
                                    "[WARN] DEV01 기존 대표전화 테이블 유지 (1)",
                                    "[ERR] DEV02 대표전화 테이블 읽기 실패: 22 (did2.tbl)",
                                    "[ERR] DEV02 did2.tbl: 일반 파일이 아님",
                                    "[ERR] DEV01 상담원IP 테이블 읽기 실패: 27 (ip.tbl)",
                                    "[ERR] DEV01 ip.tbl: 크기 제한 64 MiB 초과",
                                    "[WARN] DEV01 기존 상담원IP 테이블 유지 (2)",
                                    "[WARN] DEV02 상담원IP 테이블 읽기 완료: ip2.tbl (0)",
                                    "[WARN] DEV02 Broadcasting으로 전환",
                                }))
      << "slot 2's first load: nothing runs to be kept";
  EXPECT_EQ(*tables[0].Agents(), running);

  // A broadcasting slot keeps broadcasting while its file cannot be read.
  std::filesystem::remove(dir / "ip2.tbl");
  Load({2, 3, 0, 0});
  EXPECT_TRUE(tables[1].broadcastMode());

  // Without a model the slot's tables are gone; given one again it loads afresh.
  Load({0, 3, 0, 0});
  EXPECT_TRUE(tables[0].Agents()->empty());
  EXPECT_FALSE(tables[0].broadcastMode());
  std::filesystem::remove(dir / "ip.tbl");
  Load({2, 3, 0, 0});
  EXPECT_TRUE(tables[0].Dids()->empty());
  EXPECT_TRUE(tables[0].broadcastMode());
}

TEST_F(LoadRoutingTablesTest, AFolderInPlaceOfTheFileIsAReadFailure) {
  std::filesystem::create_directory(dir / "ip.tbl");
  std::vector<std::string> lines = Load({2, 0, 0, 0});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "[ERR] DEV01 상담원IP 테이블 읽기 실패: 21 (ip.tbl)");
  EXPECT_EQ(lines[2], "[WARN] DEV01 Broadcasting으로 전환");
}

TEST(RoutingTableSaving, WritesRowsAsSpaceSeparatedCrLfLinesAndReadsBack) {
  TempDir dir;
  RoutingTables tables;
  tables.SetDids({{"701:708", "0215881234"}, {"709", "0215885678"}});
  tables.SetAgents({{"201", "127.0.0.2"}, {"201", "127.0.0.3"}});
  EXPECT_EQ(SaveRoutingTable(dir.path(), TableKind::Did, 1, tables), std::nullopt);
  EXPECT_EQ(SaveRoutingTable(dir.path(), TableKind::Agent, 3, tables), std::nullopt);
  EXPECT_EQ(ReadFile(dir / "did.tbl"), "701:708 0215881234\r\n709 0215885678\r\n");
  EXPECT_EQ(ReadFile(dir / "ip3.tbl"), "201 127.0.0.2\r\n201 127.0.0.3\r\n");

  std::array<RoutingTables, 4> loaded;
  ASSERT_EQ(LoadRoutingTables(dir.path(), loaded, {0, 0, 7, 0}).size(), 2u);
  EXPECT_EQ(*loaded[2].Agents(), *tables.Agents());

  tables.SetAgents({});
  EXPECT_EQ(SaveRoutingTable(dir.path(), TableKind::Agent, 3, tables), std::nullopt);
  EXPECT_EQ(ReadFile(dir / "ip3.tbl"), "");
}

TEST(RoutingTableSaving, AFolderThatCannotBeWrittenLeavesTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  TempDir dir;
  WriteFile(dir / "did.tbl", "701 1\r\n");
  ::chmod(dir.path().c_str(), 0555);
  RoutingTables tables;
  tables.SetDids({{"702", "2"}});
  EXPECT_EQ(SaveRoutingTable(dir.path(), TableKind::Did, 1, tables),
            StatusLine::Error("[ERR] 테이블 파일 생성 실패: 13 (did.tbl)", 13));
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(ReadFile(dir / "did.tbl"), "701 1\r\n");
}

TEST(RoutingTables, ReadersKeepTheirSnapshotAcrossAnEdit) {
  RoutingTables tables;
  tables.SetDids({{"701", "1"}});
  auto before = tables.Dids();
  tables.EditDids([](DidList& rows) {
    rows.push_back({"702", "2"});
    return true;
  });
  EXPECT_FALSE(tables.EditDids([](DidList& rows) {
    rows.clear();
    return false;  // refused: nothing is published
  }));
  EXPECT_EQ(before->size(), 1u);
  EXPECT_EQ(tables.Dids()->size(), 2u);
}

}  // namespace
}  // namespace lindra
