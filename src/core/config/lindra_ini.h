#pragma once
// lindra.ini: the four device slots, the [CLIENT] values shared by every slot and
// the [LOG] settings. Read once at start, replaced whole by the two rewrites.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "config/ini_encoding.h"
#include "config/ini_file.h"
#include "config/slot_config.h"

namespace lindra {

inline constexpr std::string_view kConfigFileName = "lindra.ini";
// Shown when a rewrite of lindra.ini cannot be saved.
inline constexpr std::string_view kFileSaveFailedText = "파일 저장 실패";
// Message-log line (followed by the file's path) when lindra.ini holds bytes that are
// no text of its encoding: the file is then never replaced.
inline constexpr std::string_view kUndecodableConfigText = "[ERR] lindra.ini 문자 변환 실패, 파일을 바꾸지 않음: ";
// lindra.ini is a few hundred bytes; anything larger is no configuration.
inline constexpr uintmax_t kConfigFileMaxBytes = uintmax_t{1} << 20;
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

// The bytes of lindra.ini in `workDir` as every reader of it takes them: a regular
// file of at most kConfigFileMaxBytes (see ReadFileBytes).
std::optional<std::string> ReadConfigFileBytes(const std::filesystem::path& workDir, std::error_code* error = nullptr);

// The first IPv4 address of this host's name, dotted; nullopt when the name cannot
// be had or resolved.
std::optional<std::string> HostIpv4Address();
using HostAddressLookup = std::optional<std::string> (*)();

// The file written when none exists, in edge bytes (CR LF line ends); without a
// LAN_IP line in any section when `lanIp` is nullopt.
std::string DefaultConfigText(const std::optional<std::string>& lanIp);
// The whole file from four slot records and a centre identifier, as bytes of
// `encoding` (edge bytes of the code page unless the file came in another one).
std::string FullRewriteText(const std::array<SlotConfig, kSlotCount>& slots, std::string_view centerId,
                            IniEncoding encoding = IniEncoding::CodePage);

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
  // CannotCreate: why the file there could not be read (or the default one made).
  std::error_code error;
  bool createdDefault = false;                 // the default file was written
  std::array<SlotConfig, kSlotCount> slots{};  // empty records on CannotCreate
  std::string centerId;                        // empty unless Loaded or Rewritten
  std::string logLevelText = "DEBUG";          // [LOG] LEVEL as read before any rewrite
  // Some bytes could not be decoded: the values were read from what could be, and
  // the file is kept as it is (no rewrite; the centre identifier defaults when empty).
  bool undecodable = false;

  // True when the load goes on (routing tables and start report follow).
  bool ok() const { return status == ConfigLoadStatus::Loaded || status == ConfigLoadStatus::Rewritten; }
};

ConfigLoadResult LoadConfiguration(const std::filesystem::path& workDir, HostAddressLookup lookup = HostIpv4Address);

// The setup dialog's rewrite, in the encoding the file is in; false when the file
// could not be saved or holds bytes that cannot be decoded (it is never replaced).
bool SaveConfiguration(const std::filesystem::path& workDir, const std::array<SlotConfig, kSlotCount>& slots,
                       std::string_view centerId);

}  // namespace lindra
