#pragma once
#include <cstdint>
#include <string>

namespace lindra {

// The configuration of one device slot, copied whole between the controller, the
// setup dialog and the slot's channel.
struct SlotConfig {
  bool devUse = false;    // DEV_USE = "Y"; never read for slot 1
  std::string areaCode;   // [CLIENT] AREACODE, the same in all four records
  uint32_t modelCode = 0; // DEV_NAME; 0 = no device
  std::string comPort;    // "COM1".."COM6"
  int baudRate = 0;
  std::string lanIp;      // dotted address or host name
  int lanPort = 0;
  int progPort = 0;       // [CLIENT] PROG_PORT, the same in all four records

  bool operator==(const SlotConfig&) const = default;
};

constexpr int kSlotCount = 4;

// Slot 1 is enabled whenever it has a model; slots 2 to 4 by their DEV_USE.
inline bool IsSlotEnabled(int slotNo, const SlotConfig& c) { return slotNo == 1 ? c.modelCode != 0 : c.devUse; }

}  // namespace lindra
