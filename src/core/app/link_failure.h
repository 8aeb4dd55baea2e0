#pragma once
// What a link failure's status line leaves out: which slot, which device, where, and
// what the system's error number means. The status lines keep their fixed texts; the
// detail goes only where a technician reads it (the daemon's journal).
#include <map>
#include <string>

#include "config/slot_config.h"

namespace lindra {

// "DEV02 model 102 (삼성 DCS 828(816i) LAN), 192.168.0.10:5100: Connection refused";
// the serial port with its device path (`serialPaths` as --serial gives them), or the
// CTI port the slot listens on.
std::string LinkFailureDetail(int slotNo, const SlotConfig& slot, const std::map<std::string, std::string>& serialPaths,
                              int error);

}  // namespace lindra
