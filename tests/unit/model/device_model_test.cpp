#include "model/device_model.h"

#include <gtest/gtest.h>

#include <set>

namespace lindra {
namespace {

TEST(DeviceModel, LinkKindFollowsTheCodeRange) {
  const std::pair<uint32_t, LinkKind> cases[] = {
      {0, LinkKind::None},     {1, LinkKind::None},   {2, LinkKind::Serial}, {13, LinkKind::Serial},
      {100, LinkKind::Serial}, {101, LinkKind::None}, {102, LinkKind::Lan},  {200, LinkKind::Lan},
      {201, LinkKind::None},   {202, LinkKind::Cti},  {4000, LinkKind::Cti},
  };
  for (const auto& [code, kind] : cases) EXPECT_EQ(LinkKindOf(code), kind) << code;
}

// The setup dialog's list: the placeholder at 0, the separators at 1, 14 and 21, the
// serial models between the first two separators and the LAN models after the second.
TEST(DeviceModel, EveryModelIsListedOnceWithTheLinkOfItsRangeAndItsOwnSetupEntry) {
  std::set<uint32_t> codes;
  std::set<int> entries;
  for (const DeviceModel& model : DeviceModels()) {
    EXPECT_TRUE(codes.insert(model.code).second) << model.code;
    EXPECT_TRUE(entries.insert(model.setupEntry).second) << model.code;
    EXPECT_EQ(model.link, LinkKindOf(model.code)) << model.code;
    EXPECT_EQ(FindDeviceModel(model.code), &model);
    EXPECT_NE(model.format, MessageFormat::None) << model.code;
    EXPECT_TRUE(model.displayName.starts_with(model.setupText)) << model.code;
    switch (model.link) {
      case LinkKind::Serial:
        EXPECT_TRUE(model.setupEntry >= 2 && model.setupEntry <= 13) << model.code;
        EXPECT_GT(model.defaultBaudRate, 0) << model.code;
        break;
      case LinkKind::Lan:
        EXPECT_TRUE(model.setupEntry >= 15 && model.setupEntry <= 20) << model.code;
        EXPECT_EQ(model.defaultBaudRate, 0) << model.code;
        break;
      default:
        EXPECT_EQ(model.setupEntry, 22) << model.code;
    }
  }
  EXPECT_EQ(codes.size(), 19u);
  EXPECT_EQ(FindDeviceModel(14), nullptr);
  EXPECT_EQ(FindDeviceModel(0), nullptr);
}

TEST(DeviceModel, CodesWithoutARowHaveTheirRangesLinkAndNoFormat) {
  for (uint32_t code : {0u, 14u, 108u, 203u}) {
    const DeviceModel model = ModelOf(code);
    EXPECT_EQ(model.code, code);
    EXPECT_EQ(model.link, LinkKindOf(code));
    EXPECT_EQ(model.family(), FormatFamily::None);
    EXPECT_EQ(model.frame.terminators, (std::array<unsigned char, 4>{}));
    EXPECT_TRUE(model.frame.startMarker.empty());
    EXPECT_FALSE(model.pollsWhenIdle || model.mergesSecondNumber);
  }
}

TEST(DeviceModel, DeviceListTexts) {
  EXPECT_EQ(DeviceListText(1, 202), "DEV01: 길따라 CTI");
  EXPECT_EQ(DeviceListText(2, 11), "DEV02: 포스피아 Speed 부르미 RS232C");
  EXPECT_EQ(DeviceListText(4, 106), "DEV04: 삼성 Office Serv 7100 LAN");
  EXPECT_EQ(DeviceListText(3, 0), "---------------------------");
  EXPECT_EQ(DeviceListText(3, 55), "DEV03: 55");
}

}  // namespace
}  // namespace lindra
