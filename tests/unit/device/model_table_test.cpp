#include "device/model_table.h"

#include <gtest/gtest.h>

#include <set>

namespace lindra {
namespace {

TEST(ModelTable, LinkKindFollowsTheCodeRange) {
  const std::pair<uint32_t, LinkKind> cases[] = {
      {0, LinkKind::None},     {1, LinkKind::None},   {2, LinkKind::Serial}, {13, LinkKind::Serial},
      {100, LinkKind::Serial}, {101, LinkKind::None}, {102, LinkKind::Lan},  {200, LinkKind::Lan},
      {201, LinkKind::None},   {202, LinkKind::Cti},  {4000, LinkKind::Cti},
  };
  for (const auto& [code, kind] : cases) EXPECT_EQ(LinkKindOf(code), kind) << code;
}

TEST(ModelTable, EveryModelIsListedOnceWithTheLinkOfItsRange) {
  std::set<uint32_t> codes;
  for (const DeviceModel& model : DeviceModels()) {
    EXPECT_TRUE(codes.insert(model.code).second) << model.code;
    EXPECT_EQ(model.link, LinkKindOf(model.code)) << model.code;
    EXPECT_EQ(FindDeviceModel(model.code), &model);
  }
  EXPECT_EQ(codes.size(), 19u);
  EXPECT_EQ(FindDeviceModel(14), nullptr);
  EXPECT_EQ(FindDeviceModel(0), nullptr);
}

TEST(ModelTable, DeviceListTexts) {
  EXPECT_EQ(DeviceListText(1, 202), "DEV01: 길따라 CTI");
  EXPECT_EQ(DeviceListText(2, 11), "DEV02: 포스피아 Speed 부르미 RS232C");
  EXPECT_EQ(DeviceListText(4, 106), "DEV04: 삼성 Office Serv 7100 LAN");
  EXPECT_EQ(DeviceListText(3, 0), "---------------------------");
  EXPECT_EQ(DeviceListText(3, 55), "DEV03: 55");
}

}  // namespace
}  // namespace lindra
