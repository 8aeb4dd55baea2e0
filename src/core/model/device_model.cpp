#include "model/device_model.h"

#include <algorithm>

namespace lindra {
namespace {

constexpr std::string_view kStartMarker = "  1";  // two blanks and the digit 1

// A carriage return or a zero byte ends an exchange's line; on the links a rule's
// pairSkip names, the two together end one frame only.
constexpr FrameRule kCrLineOnSerial{.terminators = {0x0D, 0x00}, .pairSkip = kOnSerial};
constexpr FrameRule kCrLineOnLan{.terminators = {0x0D, 0x00}, .pairSkip = kOnLan};
constexpr FrameRule kMarkedLine{.terminators = {0x0D, 0x00}, .startMarker = kStartMarker};
constexpr FrameRule kMarkedLineOnLan{.terminators = {0x0D, 0x00}, .startMarker = kStartMarker, .pairSkip = kOnLan};
// On the DCS 500's serial line every start marker begins a frame afresh.
constexpr FrameRule kRestartingLineOnSerial{
    .terminators = {0x0D, 0x00}, .startMarker = kStartMarker, .restartsAtMarker = true, .pairSkip = kOnSerial};
constexpr FrameRule kCrLfLineOnSerial{.terminators = {0x0D, 0x0A}, .pairSkip = kOnSerial};
constexpr FrameRule kCrLfLineOnLan{.terminators = {0x0D, 0x0A}, .pairSkip = kOnLan};
constexpr FrameRule kZeroEnded{.terminators = {0x00, 0x00}};

// clang-format off
constexpr std::array<DeviceModel, 19> kModels{{
    {.code = 2, .displayName = "삼성 DCS 828(816i) RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::SamsungDcs828, .frame = kCrLineOnSerial,
     .defaultBaudRate = 9600, .setupEntry = 2, .setupText = "삼성 DCS 828(816i)"},
    {.code = 3, .displayName = "삼성 DCS 500 RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::SamsungDcs500, .frame = kRestartingLineOnSerial,
     .defaultBaudRate = 19200, .setupEntry = 3, .setupText = "삼성 DCS 500"},
    {.code = 4, .displayName = "삼성 DCS 500PRI RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::SamsungPri, .frame = kMarkedLine, .mergesSecondNumber = true,
     .defaultBaudRate = 19200, .setupEntry = 4, .setupText = "삼성 DCS 500PRI"},
    {.code = 5, .displayName = "LG LDK 시리즈 RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::LgLdk, .frame = kCrLfLineOnSerial,
     .defaultBaudRate = 19200, .setupEntry = 5, .setupText = "LG LDK 시리즈"},
    {.code = 6, .displayName = "LG Digital Keyphone", .link = LinkKind::Serial,
     .format = MessageFormat::LgKeyphone, .frame = kCrLfLineOnSerial,
     .defaultBaudRate = 19200, .setupEntry = 6, .setupText = "LG Digital Keyphone"},
    {.code = 7, .displayName = "MCID RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::Mcid, .frame = {.terminators = {'T', 'T'}}, .pollsWhenIdle = true,
     .defaultBaudRate = 9600, .setupEntry = 7, .setupText = "MCID"},
    {.code = 8, .displayName = "BDTel SeeID-PC RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::SeeIdPc,
     .frame = {.terminators = {'n', 'd', 0x0D, 0x0A}, .serialEnd = SerialEnd::EndKeyword},
     .defaultBaudRate = 4800, .setupEntry = 8, .setupText = "BDTel SeeID-PC"},
    {.code = 9, .displayName = "BDTel SeeID-4 RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::SeeId4, .frame = {.terminators = {']', ']'}},
     .defaultBaudRate = 4800, .setupEntry = 9, .setupText = "BDTel SeeID-4"},
    {.code = 10, .displayName = "CallStar CTI-XXX RS232C(USB)", .link = LinkKind::Serial,
     .format = MessageFormat::CallStar, .frame = {.terminators = {0x02, 0x03, 'S', 'E'}, .endingTerminators = 4},
     .defaultBaudRate = 19200, .setupEntry = 10, .setupText = "CallStar CTI-XXX"},
    {.code = 11, .displayName = "포스피아 Speed 부르미 RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::SpeedBurumi,
     .frame = {.terminators = {0x1F, 0x5F, 0x9F, 0xDF}, .endingTerminators = 4, .retainsTerminator = kOnBoth},
     .defaultBaudRate = 19200, .setupEntry = 11, .setupText = "포스피아 Speed 부르미"},
    {.code = 12, .displayName = "CID-1000 RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::Cid1000, .frame = {.terminators = {0x00, 0x00}, .serialEnd = SerialEnd::ChunkEnd},
     .defaultBaudRate = 9600, .setupEntry = 12, .setupText = "CID-1000"},
    {.code = 13, .displayName = "CID-1000A RS232C", .link = LinkKind::Serial,
     .format = MessageFormat::Cid1000A,
     .frame = {.terminators = {0x00, 0x00}, .retainsTerminator = kOnSerial, .serialEnd = SerialEnd::ChunkLastByte},
     .defaultBaudRate = 9600, .setupEntry = 13, .setupText = "CID-1000A"},
    {.code = 102, .displayName = "삼성 DCS 828(816i) LAN", .link = LinkKind::Lan,
     .format = MessageFormat::SamsungDcs828, .frame = kCrLineOnLan,
     .setupEntry = 15, .setupText = "삼성 DCS 828(816i)"},
    {.code = 103, .displayName = "삼성 DCS 500 LAN", .link = LinkKind::Lan,
     .format = MessageFormat::SamsungDcs500, .frame = kMarkedLineOnLan,
     .setupEntry = 16, .setupText = "삼성 DCS 500"},
    {.code = 104, .displayName = "삼성 DCS 500PRI LAN", .link = LinkKind::Lan,
     .format = MessageFormat::SamsungPri, .frame = kMarkedLine, .mergesSecondNumber = true,
     .setupEntry = 17, .setupText = "삼성 DCS 500PRI"},
    {.code = 105, .displayName = "LG LDK 시리즈 LAN", .link = LinkKind::Lan,
     .format = MessageFormat::LgLdk, .frame = kCrLfLineOnLan,
     .setupEntry = 20, .setupText = "LG LDK 시리즈"},
    {.code = 106, .displayName = "삼성 Office Serv 7100 LAN", .link = LinkKind::Lan,
     .format = MessageFormat::SamsungOfficeServ, .frame = kCrLineOnLan,
     .setupEntry = 18, .setupText = "삼성 Office Serv 7100"},
    {.code = 107, .displayName = "삼성 Office Serv 7200 LAN", .link = LinkKind::Lan,
     .format = MessageFormat::SamsungOfficeServ, .frame = kMarkedLineOnLan,
     .setupEntry = 19, .setupText = "삼성 Office Serv 7200"},
    {.code = 202, .displayName = "길따라 CTI", .link = LinkKind::Cti,
     .format = MessageFormat::Cti, .frame = kZeroEnded,
     .setupEntry = 22, .setupText = "길따라 CTI"},
}};
// clang-format on

constexpr std::string_view kEmptySlotText = "---------------------------";

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

DeviceModel ModelOf(uint32_t code) {
  if (const DeviceModel* model = FindDeviceModel(code)) return *model;
  return DeviceModel{.code = code, .link = LinkKindOf(code), .frame = kZeroEnded};
}

std::string DeviceListText(int slotNo, uint32_t code) {
  if (code == 0) return std::string(kEmptySlotText);
  const std::string head = "DEV0" + std::to_string(slotNo) + ": ";
  if (const DeviceModel* model = FindDeviceModel(code)) return head + std::string(model->displayName);
  return head + std::to_string(code);
}

}  // namespace lindra
