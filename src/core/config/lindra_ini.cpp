#include "config/lindra_ini.h"

#include "platform/atomic_file.h"
#include "platform/file_read.h"
#include "platform/resolver.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

// The reads of the start-up use a buffer of 510 characters, the [LOG] reads one of 260.
constexpr size_t kSlotBufferChars = 510;
constexpr size_t kLogBufferChars = 260;
constexpr const char* kLogPathLine = "PATH=c:\\brenvo\\Logs\n";

std::string SectionName(int slotNo) { return text::Format("DEVICE0%d", slotNo); }

// The file is written in text mode: every line feed goes out as CR LF.
std::string ToFileBytes(std::string_view textWithLf, IniEncoding encoding) {
  std::string crlf;
  crlf.reserve(textWithLf.size() + textWithLf.size() / 8);
  for (char c : textWithLf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return EncodeIniText(crlf, encoding);
}

std::filesystem::path ConfigPath(const std::filesystem::path& workDir) { return workDir / kConfigFileName; }

}  // namespace

SlotConfig ReadSlotConfig(const IniFile& ini, int slotNo) {
  const std::string section = SectionName(slotNo);
  auto str = [&](std::string_view sec, std::string_view key) { return ini.GetString(sec, key, "", kSlotBufferChars); };
  SlotConfig c;
  // Slot 1 has no DEV_USE; only an upper-case "Y" puts the other slots in use.
  if (slotNo >= 2) c.devUse = str(section, "DEV_USE") == "Y";
  c.modelCode = static_cast<uint32_t>(ini.GetInt(section, "DEV_NAME", 0));
  c.comPort = str(section, "COM_PORT");
  c.baudRate = ini.GetInt(section, "COM_BAUDRATE", 0);
  c.lanIp = str(section, "LAN_IP");
  c.lanPort = ini.GetInt(section, "LAN_PORT", 0);
  c.progPort = ini.GetInt("CLIENT", "PROG_PORT", 0);
  c.areaCode = str("CLIENT", "AREACODE");
  return c;
}

std::string ReadCenterId(const IniFile& ini) { return ini.GetString("CLIENT", "CENTERID", "", kSlotBufferChars); }

std::string ReadEncryption(const IniFile& ini) { return ini.GetString("CLIENT", "ENCRYPTION", "", kSlotBufferChars); }

std::string ReadLogLevelText(const IniFile& ini) { return ini.GetString("LOG", "LEVEL", "DEBUG", kLogBufferChars); }

std::string ReadLogLevelText(const std::filesystem::path& workDir) {
  auto bytes = ReadConfigFileBytes(workDir);
  return bytes ? ReadLogLevelText(IniFile::Parse(*bytes)) : std::string("DEBUG");
}

std::optional<std::string> ReadConfigFileBytes(const std::filesystem::path& workDir, std::error_code* error) {
  return ReadFileBytes(ConfigPath(workDir), error, LinkRule::Follow, kConfigFileMaxBytes);
}

std::optional<std::string> HostIpv4Address() {
  const auto found = LookUpThisHostIpv4();
  if (!found.address) return std::nullopt;
  return found.address->to_string();
}

std::string DefaultConfigText(const std::optional<std::string>& lanIp) {
  const std::string lanIpLine = lanIp ? text::Format("LAN_IP=%s\n", lanIp->c_str()) : std::string();
  std::string out;
  for (int n = 1; n <= kSlotCount; ++n) {
    out += text::Format("[%s]\n", SectionName(n).c_str());
    out += "DEV_NAME=\n";
    if (n >= 2) out += "DEV_USE=N\n";
    out += "COM_PORT=COM1\nCOM_BAUDRATE=9600\n";
    out += lanIpLine;
    out += "LAN_PORT=5100\n";
  }
  out += "\n[CLIENT]\nAREACODE=\nPROG_PORT=7001\nCENTERID=C00000\nENCRYPTION=Y\n";
  out += "\n[LOG]\n";
  out += kLogPathLine;
  return ToFileBytes(out, IniEncoding::CodePage);
}

std::string FullRewriteText(const std::array<SlotConfig, kSlotCount>& slots, std::string_view centerId,
                            IniEncoding encoding) {
  std::string out;
  for (int n = 1; n <= kSlotCount; ++n) {
    const SlotConfig& c = slots[n - 1];
    out += text::Format("[%s]\n", SectionName(n).c_str());
    if (n >= 2) out += text::Format("DEV_USE=%s\n", c.devUse ? "Y" : "N");
    out += text::Format("DEV_NAME=%d\n", static_cast<int>(c.modelCode));
    out += text::Format("COM_PORT=%s\n", c.comPort.c_str());
    out += text::Format("COM_BAUDRATE=%d\n", c.baudRate);
    out += text::Format("LAN_IP=%s\n", c.lanIp.c_str());
    out += text::Format("LAN_PORT=%d\n", c.lanPort);
  }
  out += "\n[CLIENT]\n";
  out += text::Format("AREACODE=%s\n", slots[0].areaCode.c_str());
  out += text::Format("PROG_PORT=%d\n", slots[0].progPort);
  out += text::Format("CENTERID=%.*s\n", static_cast<int>(centerId.size()), centerId.data());
  out += "ENCRYPTION=Y\n";
  out += "\n[LOG]\n";
  out += kLogPathLine;
  return ToFileBytes(out, encoding);
}

ConfigLoadResult LoadConfiguration(const std::filesystem::path& workDir, HostAddressLookup lookup) {
  ConfigLoadResult result;
  const auto path = ConfigPath(workDir);
  auto bytes = ReadConfigFileBytes(workDir, &result.error);
  if (!bytes) {
    // Only a missing file is replaced; one that exists but cannot be read (a folder,
    // a FIFO, a device, a file far too large) holds the operator's settings, or is
    // not ours to replace, and is left alone.
    if (result.error != std::errc::no_such_file_or_directory) return result;
    std::string fresh = DefaultConfigText(lookup ? lookup() : std::nullopt);
    if ((result.error = WriteFileAtomically(path, fresh))) return result;
    result.createdDefault = true;
    bytes = std::move(fresh);
  }

  const DecodedIni decoded = DecodeIniBytes(*bytes);
  const IniFile ini = IniFile::ParseText(decoded.text);
  for (int n = 1; n <= kSlotCount; ++n) result.slots[n - 1] = ReadSlotConfig(ini, n);
  result.logLevelText = ReadLogLevelText(ini);
  result.undecodable = !decoded.lossless;

  std::string centerId = ReadCenterId(ini);
  const bool complete = !centerId.empty() && !ReadEncryption(ini).empty();
  if (complete || result.undecodable) {
    result.status = ConfigLoadStatus::Loaded;
    result.centerId = centerId.empty() ? std::string(kDefaultCenterId) : std::move(centerId);
    return result;
  }
  if (WriteFileAtomically(path, FullRewriteText(result.slots, kDefaultCenterId, decoded.encoding))) {
    result.status = ConfigLoadStatus::RewriteFailed;
    return result;
  }
  result.status = ConfigLoadStatus::Rewritten;
  result.centerId = kDefaultCenterId;
  return result;
}

bool SaveConfiguration(const std::filesystem::path& workDir, const std::array<SlotConfig, kSlotCount>& slots,
                       std::string_view centerId) {
  const auto path = ConfigPath(workDir);
  IniEncoding encoding = IniEncoding::CodePage;
  std::error_code readError;
  if (auto bytes = ReadConfigFileBytes(workDir, &readError)) {
    const DecodedIni current = DecodeIniBytes(*bytes);
    if (!current.lossless) return false;
    encoding = current.encoding;
  } else if (readError != std::errc::no_such_file_or_directory) {
    return false;  // what is there cannot be read, so it cannot be judged either
  }
  return !WriteFileAtomically(path, FullRewriteText(slots, centerId, encoding));
}

}  // namespace lindra
