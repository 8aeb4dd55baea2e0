// lindra.ini on outside input: any bytes read as a configuration must give slot
// records that the full rewrite, in the encoding the bytes came in, turns into a file
// which reads back to the same records.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/ini_file.h"
#include "config/lindra_ini.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lindra;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const IniFile ini = IniFile::Parse(bytes);
  std::array<SlotConfig, kSlotCount> slots{};
  for (int n = 1; n <= kSlotCount; ++n) slots[n - 1] = ReadSlotConfig(ini, n);
  ReadLogLevelText(ini);
  const std::string centerId = ReadCenterId(ini);

  // Values with line breaks or an '=' cannot survive a rewrite in any INI format, so
  // the round trip is checked only for values without them.
  auto plain = [](const std::string& v) { return v.find_first_of("\r\n\0[]=", 0, 6) == std::string::npos; };
  const IniFile again = IniFile::Parse(FullRewriteText(slots, centerId, DecodeIniBytes(bytes).encoding));
  for (int n = 1; n <= kSlotCount; ++n) {
    const SlotConfig& before = slots[n - 1];
    const SlotConfig after = ReadSlotConfig(again, n);
    Require(after.modelCode == before.modelCode && after.baudRate == before.baudRate &&
            after.lanPort == before.lanPort && after.progPort == slots[0].progPort);
    if (plain(before.comPort)) Require(after.comPort == before.comPort);
    if (plain(before.lanIp)) Require(after.lanIp == before.lanIp);
  }
  return 0;
}
