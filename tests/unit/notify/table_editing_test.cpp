#include "notify/table_editing.h"

#include <gtest/gtest.h>

namespace lindra {
namespace {

const char* kTrunkCharMessage = "국선에는 '0~9', ':' 를 제외한 문자는 입력 할 수 없습니다.";
const char* kDidCharMessage = "대표번호에는 '0~9' 를 제외한 문자는 입력 할 수 없습니다.";

TEST(CheckTableField, AllowedCharactersPerField) {
  struct Case {
    FieldKind kind;
    const char* text;
    const char* message;  // nullptr: allowed
  };
  const Case cases[] = {
      {FieldKind::TrunkSpec, "701:708", nullptr},
      {FieldKind::TrunkSpec, "", nullptr},
      {FieldKind::TrunkSpec, "7a1", kTrunkCharMessage},
      {FieldKind::TrunkSpec, "701 ", kTrunkCharMessage},
      {FieldKind::DidNumber, "0215881234", nullptr},
      {FieldKind::DidNumber, "02-1234", kDidCharMessage},
      {FieldKind::Extension, "2:01", "내선에는 '0~9' 를 제외한 문자는 입력 할 수 없습니다."},
      {FieldKind::AgentIp, "127.0.0.2", nullptr},
      {FieldKind::AgentIp, "127.0.0.2:80", "IP에는 '0~9', '.' 를 제외한 문자는 입력 할 수 없습니다."},
      {FieldKind::AgentIp, "１２７", "IP에는 '0~9', '.' 를 제외한 문자는 입력 할 수 없습니다."},
  };
  for (const Case& c : cases) {
    auto message = CheckTableField(c.kind, c.text);
    if (c.message) {
      EXPECT_EQ(message, std::optional<std::string>(c.message)) << c.text;
    } else {
      EXPECT_FALSE(message) << c.text;
    }
  }
}

TEST(TrunkRanges, WellFormedness) {
  EXPECT_TRUE(IsWellFormedRange("701:708"));
  EXPECT_TRUE(IsWellFormedRange("701:701"));
  EXPECT_FALSE(IsWellFormedRange("708:701"));
  EXPECT_FALSE(IsWellFormedRange("70:708"));
  EXPECT_FALSE(IsWellFormedRange("701"));
  EXPECT_TRUE(IsWellFormedRange("0701:0799"));
}

class DidEditing : public ::testing::Test {
 protected:
  void Rows(DidList rows) { tables.SetDids(std::move(rows)); }
  DidList Table() const { return *tables.Dids(); }
  RoutingTables tables;
};

TEST_F(DidEditing, ConflictRules) {
  struct Case {
    const char* existing;
    const char* added;
    bool conflicts;
  };
  const Case cases[] = {
      {"705", "701:708", true},      {"701:708", "705", true},     {"701:708", "0701:0708", false},
      {"703:705", "700:709", false}, {"703:705", "704:709", true}, {"703:705", "700:703", true},
      {"701:708", "0705", false},    {"0705", "701:708", false},   {"701", "701", true},
      {"701", "0701", false},
  };
  for (const Case& c : cases) {
    Rows({{"900", "1"}, {c.existing, "2"}});
    EditOutcome outcome = AddDidRow(tables, c.added, "3");
    EXPECT_EQ(outcome.accepted, !c.conflicts) << c.existing << " + " << c.added;
    if (c.conflicts) {
      EXPECT_EQ(outcome.message, "국선이 중복 됩니다.");
      EXPECT_EQ(outcome.selectRow, 1);
      EXPECT_EQ(Table().size(), 2u);
    }
  }
}

TEST_F(DidEditing, RefusalsInTheirOrderWithFocus) {
  Rows({{"701:708", "1"}});
  struct Case {
    const char* trunk;
    const char* did;
    const char* message;
    std::optional<FieldKind> focus;
  };
  const Case cases[] = {
      {"", "", "국선을 입력 해 주세요.", FieldKind::TrunkSpec},
      {"7a1", "", "대표번호를 입력 해 주세요.", FieldKind::DidNumber},
      {"7a1", "02-1234", kTrunkCharMessage, FieldKind::TrunkSpec},
      {"801", "02-1234", kDidCharMessage, FieldKind::DidNumber},
      {"808:801", "1", "범위 입력 데이터가 올바르지 않습니다.", std::nullopt},
      {"80:801", "1", "범위 입력 데이터가 올바르지 않습니다.", std::nullopt},
  };
  for (const Case& c : cases) {
    EditOutcome outcome = AddDidRow(tables, c.trunk, c.did);
    EXPECT_FALSE(outcome.accepted);
    EXPECT_EQ(outcome.message, c.message) << c.trunk << " / " << c.did;
    EXPECT_EQ(outcome.focus, c.focus) << c.trunk;
  }
  EXPECT_EQ(Table(), (DidList{{"701:708", "1"}}));

  RoutingTables empty;
  EXPECT_EQ(AddDidRow(empty, "708:701", "1").message, "범위 입력 데이터가 올바르지 않습니다.");
}

TEST_F(DidEditing, AddModifyDelete) {
  EXPECT_TRUE(AddDidRow(tables, "701", "1").accepted);
  EXPECT_TRUE(AddDidRow(tables, "702:709", "2").accepted);
  EXPECT_TRUE(ModifyDidRow(tables, 0, "701", "5").accepted);  // the row itself is skipped
  EditOutcome conflict = ModifyDidRow(tables, 0, "705", "5");
  EXPECT_EQ(conflict.message, "국선이 중복 됩니다.");
  EXPECT_EQ(conflict.selectRow, 1);
  EXPECT_EQ(Table(), (DidList{{"701", "5"}, {"702:709", "2"}}));
  EXPECT_TRUE(DeleteDidRow(tables, 0).accepted);
  EXPECT_EQ(Table(), (DidList{{"702:709", "2"}}));
  EXPECT_FALSE(DeleteDidRow(tables, 1).accepted);
  EXPECT_FALSE(ModifyDidRow(tables, -1, "1", "1").accepted);
}

TEST(AgentEditing, AddModifyDeleteWithoutConflictCheck) {
  RoutingTables tables;
  EXPECT_TRUE(AddAgentRow(tables, "201", "127.0.0.2").accepted);
  EXPECT_TRUE(AddAgentRow(tables, "201", "127.0.0.3").accepted);
  EXPECT_TRUE(AddAgentRow(tables, "201", "127.0.0.3").accepted);

  EXPECT_TRUE(ModifyAgentRow(tables, 1, "202", "127.0.0.4").accepted);
  EXPECT_TRUE(DeleteAgentRow(tables, 0).accepted);
  EXPECT_EQ(*tables.Agents(), (AgentList{{"202", "127.0.0.4"}, {"201", "127.0.0.3"}}));
}

TEST(AgentEditing, RefusalsWithFocusAndTheModifyWording) {
  RoutingTables tables;
  tables.SetAgents({{"201", "127.0.0.2"}});
  struct Case {
    bool modify;
    const char* extension;
    const char* ip;
    const char* message;
    FieldKind focus;
  };
  const Case cases[] = {
      {false, "", "1.2.3.4", "내선을 입력 해 주세요.", FieldKind::Extension},
      {false, "201", "", "상담원IP를 입력 해 주세요.", FieldKind::AgentIp},
      {true, "201", "", "상담원 IP를 입력 해 주세요.", FieldKind::AgentIp},
      {true, "2o1", "1.2.3.4", "내선에는 '0~9' 를 제외한 문자는 입력 할 수 없습니다.", FieldKind::Extension},
      {false, "201", "1.2.3.x", "IP에는 '0~9', '.' 를 제외한 문자는 입력 할 수 없습니다.", FieldKind::AgentIp},
  };
  for (const Case& c : cases) {
    EditOutcome outcome =
        c.modify ? ModifyAgentRow(tables, 0, c.extension, c.ip) : AddAgentRow(tables, c.extension, c.ip);
    EXPECT_FALSE(outcome.accepted);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_EQ(outcome.focus, c.focus) << c.message;
  }
  EXPECT_EQ(*tables.Agents(), (AgentList{{"201", "127.0.0.2"}}));
}

TEST(AgentEditing, TableNeverOutgrowsTheSenders) {
  RoutingTables tables;
  tables.SetAgents(AgentList(kMaxAgentRows, AgentRow{"201", "127.0.0.2"}));
  EditOutcome outcome = AddAgentRow(tables, "202", "127.0.0.3");
  EXPECT_FALSE(outcome.accepted);
  EXPECT_EQ(outcome.message, "상담원IP는 최대 200개까지 입력 할 수 있습니다.");
  EXPECT_EQ(tables.Agents()->size(), static_cast<size_t>(kMaxAgentRows));
}

}  // namespace
}  // namespace lindra
