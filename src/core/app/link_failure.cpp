#include "app/link_failure.h"

#include <cstring>

#include "device/serial_link.h"
#include "model/device_model.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr std::string_view kFailed = "실패";

std::string WhereOf(const SlotConfig& slot, const SerialOverrides& serialPaths) {
  switch (LinkKindOf(slot.modelCode)) {
    case LinkKind::Serial:
      return slot.comPort + " = " + SerialPathFor(slot.comPort, serialPaths) + ", " + std::to_string(slot.baudRate) +
             " bit/s";
    case LinkKind::Lan:
      return slot.lanIp + ":" + std::to_string(slot.lanPort);
    case LinkKind::Cti:
      return "listening on port " + std::to_string(slot.lanPort);
    case LinkKind::None:
      break;
  }
  return "no device";
}

// A receive that ends with 0 is the other end closing, not an error of the system.
std::string ErrorText(int error) {
  return error == 0 ? "connection closed by the other end" : std::string(std::strerror(error));
}

}  // namespace

std::optional<int> FailureErrorNumber(std::string_view line) {
  if (!line.starts_with("[ERR]")) return std::nullopt;
  const size_t failed = line.find(kFailed);
  if (failed == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(failed + kFailed.size());
  for (std::string_view mark : {" ErrNo:", ": ", " : "}) {
    if (!rest.starts_with(mark)) continue;
    rest.remove_prefix(mark.size());
    const size_t digits = rest.find_first_not_of("-0123456789");
    const std::string_view number = rest.substr(0, digits);
    if (number.empty() || number == "-") return std::nullopt;
    return text::LeadingInt32(number);
  }
  return std::nullopt;
}

std::string LinkFailureDetail(int slotNo, const SlotConfig& slot, const std::map<std::string, std::string>& serialPaths,
                              int error) {
  const DeviceModel* model = FindDeviceModel(slot.modelCode);
  const std::string name = model ? " (" + std::string(model->displayName) + ")" : "";
  return text::Format("DEV0%d model %u%s, %s: %s", slotNo, slot.modelCode, name.c_str(),
                      WhereOf(slot, serialPaths).c_str(), ErrorText(error).c_str());
}

}  // namespace lindra
