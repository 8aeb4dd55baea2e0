#include "app/link_failure.h"

#include <cstring>

#include "device/serial_link.h"
#include "model/device_model.h"
#include "text/strings.h"

namespace lindra {
namespace {

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

std::string LinkFailureDetail(int slotNo, const SlotConfig& slot, const std::map<std::string, std::string>& serialPaths,
                              int error) {
  const DeviceModel* model = FindDeviceModel(slot.modelCode);
  const std::string name = model ? " (" + std::string(model->displayName) + ")" : "";
  return text::Format("DEV0%d model %u%s, %s: %s", slotNo, slot.modelCode, name.c_str(),
                      WhereOf(slot, serialPaths).c_str(), ErrorText(error).c_str());
}

}  // namespace lindra
