#pragma once
// The device models the server knows: code (DEV_NAME), the name the device list
// shows and the kind of link the code selects. Every part that needs a model's name
// or link kind asks here, so there is one table only.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lindra {

enum class LinkKind { None, Serial, Lan, Cti };

struct DeviceModel {
  uint32_t code;
  std::string_view displayName;  // UTF-8, shown after "DEV0n: "
  LinkKind link;
};

// Every model of the device setup, in code order (code 0 is not a model).
std::span<const DeviceModel> DeviceModels();

// The table row of a code, or nullptr for a code that names no model.
const DeviceModel* FindDeviceModel(uint32_t code);

// Link kind by code range alone: 2..100 serial, 102..200 LAN, 202 and above CTI.
// 0 and the gaps 1, 101, 201 open nothing.
LinkKind LinkKindOf(uint32_t code);

// The device list entry of a slot: "DEV0n: " + display name; the dashes for an
// empty slot (code 0); the code itself in place of the name for a code the table
// does not hold.
std::string DeviceListText(int slotNo, uint32_t code);

}  // namespace lindra
