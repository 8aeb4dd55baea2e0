#include "device/model_table.h"

#include <algorithm>
#include <array>

#include "text/strings.h"

namespace lindra {
namespace {

constexpr std::array<DeviceModel, 19> kModels{{
    {2, "삼성 DCS 828(816i) RS232C", LinkKind::Serial},
    {3, "삼성 DCS 500 RS232C", LinkKind::Serial},
    {4, "삼성 DCS 500PRI RS232C", LinkKind::Serial},
    {5, "LG LDK 시리즈 RS232C", LinkKind::Serial},
    {6, "LG Digital Keyphone", LinkKind::Serial},
    {7, "MCID RS232C", LinkKind::Serial},
    {8, "BDTel SeeID-PC RS232C", LinkKind::Serial},
    {9, "BDTel SeeID-4 RS232C", LinkKind::Serial},
    {10, "CallStar CTI-XXX RS232C(USB)", LinkKind::Serial},
    {11, "포스피아 Speed 부르미 RS232C", LinkKind::Serial},
    {12, "CID-1000 RS232C", LinkKind::Serial},
    {13, "CID-1000A RS232C", LinkKind::Serial},
    {102, "삼성 DCS 828(816i) LAN", LinkKind::Lan},
    {103, "삼성 DCS 500 LAN", LinkKind::Lan},
    {104, "삼성 DCS 500PRI LAN", LinkKind::Lan},
    {105, "LG LDK 시리즈 LAN", LinkKind::Lan},
    {106, "삼성 Office Serv 7100 LAN", LinkKind::Lan},
    {107, "삼성 Office Serv 7200 LAN", LinkKind::Lan},
    {202, "길따라 CTI", LinkKind::Cti},
}};

constexpr const char* kEmptySlotText = "---------------------------";

}  // namespace

std::span<const DeviceModel> DeviceModels() { return kModels; }

const DeviceModel* FindDeviceModel(uint32_t code) {
  auto it = std::find_if(kModels.begin(), kModels.end(), [code](const DeviceModel& m) { return m.code == code; });
  return it == kModels.end() ? nullptr : &*it;
}

LinkKind LinkKindOf(uint32_t code) {
  if (code >= 2 && code <= 100) return LinkKind::Serial;
  if (code >= 102 && code <= 200) return LinkKind::Lan;
  if (code >= 202) return LinkKind::Cti;
  return LinkKind::None;
}

std::string DeviceListText(int slotNo, uint32_t code) {
  if (code == 0) return kEmptySlotText;
  if (const DeviceModel* model = FindDeviceModel(code))
    return text::Format("DEV0%d: %.*s", slotNo, static_cast<int>(model->displayName.size()), model->displayName.data());
  return text::Format("DEV0%d: %u", slotNo, code);
}

}  // namespace lindra
