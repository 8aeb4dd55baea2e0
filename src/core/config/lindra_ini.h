#pragma once
// lindra.ini: the four device slots, the [CLIENT] values shared by every slot and
// the [LOG] settings. Read once at start, replaced whole by the two rewrites.
#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "config/ini_file.h"
#include "config/slot_config.h"

namespace lindra {

inline constexpr std::string_view kConfigFileName = "lindra.ini";
// Shown when a rewrite of lindra.ini cannot be saved.
inline constexpr std::string_view kFileSaveFailedText = "파일 저장 실패";
// The centre identifier a rewrite at start puts in place of a missing one.
inline constexpr std::string_view kDefaultCenterId = "C00000";

// Section "DEVICE0n" (n = 1..4) with the shared [CLIENT] AREACODE and PROG_PORT.
SlotConfig ReadSlotConfig(const IniFile& ini, int slotNo);
std::string ReadCenterId(const IniFile& ini);
std::string ReadEncryption(const IniFile& ini);
// [LOG] LEVEL, "DEBUG" when missing.
std::string ReadLogLevelText(const IniFile& ini);
// The same from the file in `workDir`; "DEBUG" when the file cannot be read.
std::string ReadLogLevelText(const std::filesystem::path& workDir);

// The first IPv4 address of this host's name, dotted; nullopt when the name cannot
// be had or resolved.
std::optional<std::string> HostIpv4Address();
using HostAddressLookup = std::optional<std::string> (*)();

// The file written when none exists, in edge bytes (CR LF line ends); without a
// LAN_IP line in any section when `lanIp` is nullopt.
std::string DefaultConfigText(const std::optional<std::string>& lanIp);
// The whole file from four slot records and a centre identifier, in edge bytes.
std::string FullRewriteText(const std::array<SlotConfig, kSlotCount>& slots, std::string_view centerId);

enum class ConfigLoadStatus {
  Loaded,         // the file was there (or has just been created) and is complete
  Rewritten,      // CENTERID or ENCRYPTION was empty: the file was rewritten whole
  CannotCreate,   // no file and none could be created: the load stops, silently
  RewriteFailed,  // the rewrite could not be saved: kFileSaveFailedText, load stops
};

// The start-up reading of lindra.ini. The controller opens the slots' logs with
// `slots` and `logLevelText`, and only then reports a RewriteFailed.
struct ConfigLoadResult {
  ConfigLoadStatus status = ConfigLoadStatus::CannotCreate;
  bool createdDefault = false;                 // the default file was written
  std::array<SlotConfig, kSlotCount> slots{};  // empty records on CannotCreate
  std::string centerId;                        // empty unless Loaded or Rewritten
  std::string logLevelText = "DEBUG";          // [LOG] LEVEL as read before any rewrite

  // True when the load goes on (routing tables and start report follow).
  bool ok() const { return status == ConfigLoadStatus::Loaded || status == ConfigLoadStatus::Rewritten; }
};

ConfigLoadResult LoadConfiguration(const std::filesystem::path& workDir, HostAddressLookup lookup = HostIpv4Address);

// The setup dialog's rewrite; false when the file could not be saved.
bool SaveConfiguration(const std::filesystem::path& workDir, const std::array<SlotConfig, kSlotCount>& slots,
                       std::string_view centerId);

}  // namespace lindra
