#include "app/config_check.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "config/ini_encoding.h"
#include "config/lindra_ini.h"
#include "model/device_model.h"
#include "notify/routing_tables.h"
#include "platform/file_read.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

namespace fs = std::filesystem;

struct Line {
  int number;
  std::string_view text;  // trimmed
};

// Lines numbered as an editor numbers them (CR LF is one line end).
std::vector<Line> NumberedLines(std::string_view content) {
  std::vector<Line> lines;
  int number = 0;
  while (!content.empty()) {
    const size_t end = content.find('\n');
    lines.push_back({++number, text::TrimView(content.substr(0, end))});
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
  }
  return lines;
}

struct IniKey {
  std::string name;
  std::string value;
  int line;
};

struct IniSection {
  std::string name;
  int line;
  std::vector<IniKey> keys;

  const IniKey* Find(std::string_view key) const {
    for (const auto& k : keys)
      if (text::EqualsIgnoreCase(k.name, key)) return &k;
    return nullptr;
  }
};

std::vector<std::string_view> KnownKeys(std::string_view section) {
  if (text::EqualsIgnoreCase(section, "DEVICE01"))
    return {"DEV_NAME", "COM_PORT", "COM_BAUDRATE", "LAN_IP", "LAN_PORT"};
  for (std::string_view slot : {"DEVICE02", "DEVICE03", "DEVICE04"})
    if (text::EqualsIgnoreCase(section, slot))
      return {"DEV_USE", "DEV_NAME", "COM_PORT", "COM_BAUDRATE", "LAN_IP", "LAN_PORT"};
  if (text::EqualsIgnoreCase(section, "CLIENT")) return {"AREACODE", "PROG_PORT", "CENTERID", "ENCRYPTION"};
  if (text::EqualsIgnoreCase(section, "LOG")) return {"PATH", "LEVEL"};
  return {};
}

bool IsKnown(const std::vector<std::string_view>& keys, std::string_view key) {
  for (std::string_view k : keys)
    if (text::EqualsIgnoreCase(k, key)) return true;
  return false;
}

const char* KeptCharacters(TableKind kind, size_t column) {
  if (kind == TableKind::Did) return column == 0 ? "digits and ':'" : "digits";
  return column == 0 ? "digits" : "digits and '.'";
}

bool IsPort(int value) { return value >= 1 && value <= 65535; }

std::string ErrorText(const std::error_code& error, uintmax_t maxBytes) {
  if (IsOverSizeCap(error)) return text::Format("larger than %ju MiB", maxBytes >> 20);
  return error.message();
}

class Checker {
 public:
  explicit Checker(fs::path workDir) : workDir_(std::move(workDir)) {}

  std::vector<ConfigFinding> Run() {
    const fs::path ini = workDir_ / kConfigFileName;
    std::error_code error;
    const auto bytes = ReadConfigFileBytes(workDir_, &error);
    if (!bytes) {
      Report(true, ini, 0,
             error == std::errc::no_such_file_or_directory
                 ? "not found (the server writes a default file, with no device, at its first start)"
                 : "cannot be read: " + ErrorText(error, kConfigFileMaxBytes));
      return std::move(findings_);
    }
    const DecodedIni decoded = DecodeIniBytes(*bytes);
    if (!decoded.lossless)
      Report(true, ini, 0,
             "holds bytes that are no text of its encoding (see --codepage); the server never rewrites it");
    ReadSections(ini, decoded.text);
    const IniFile parsed = IniFile::ParseText(decoded.text);
    std::array<SlotConfig, kSlotCount> slots;
    for (int n = 1; n <= kSlotCount; ++n) slots[n - 1] = ReadSlotConfig(parsed, n);
    CheckSlots(ini, slots);
    CheckClient(ini, parsed);
    for (TableKind kind : {TableKind::Did, TableKind::Agent})
      for (int n = 1; n <= kSlotCount; ++n)
        if (slots[n - 1].modelCode >= 1 && slots[n - 1].modelCode <= 999)
          CheckTable(kind, n, IsSlotEnabled(n, slots[n - 1]));
    SortByLine();
    return std::move(findings_);
  }

 private:
  // Each file's findings in line order, the files in the order they were read.
  void SortByLine() {
    std::vector<fs::path> files;
    for (const auto& f : findings_)
      if (std::find(files.begin(), files.end(), f.file) == files.end()) files.push_back(f.file);
    auto rank = [&files](const ConfigFinding& f) {
      return std::pair(std::find(files.begin(), files.end(), f.file) - files.begin(), f.line);
    };
    std::stable_sort(findings_.begin(), findings_.end(),
                     [&rank](const ConfigFinding& a, const ConfigFinding& b) { return rank(a) < rank(b); });
  }

  void Report(bool error, const fs::path& file, int line, std::string message) {
    findings_.push_back({file, line, error, std::move(message)});
  }

  // The structure, walking the lines the server's reader takes: what it skips, what
  // it never reads (a second section or key of a name), what a rewrite would drop.
  void ReadSections(const fs::path& file, std::string_view content) {
    IniSection* current = nullptr;
    bool currentRead = false;  // the first section of its name, and a known one
    for (const IniLine& line : IniFile::Lines(content)) {
      switch (line.kind) {
        case IniLine::Kind::Blank:
          break;
        case IniLine::Kind::UnclosedSection:
          Report(true, file, line.number,
                 "section header without ']': ignored, so the keys below it stay in the section before");
          break;
        case IniLine::Kind::Section: {
          const std::string name(line.name);
          const bool repeated = FindSection(name) != nullptr;
          sections_.push_back({name, line.number, {}});
          current = &sections_.back();
          currentRead = !repeated && !KnownKeys(name).empty();
          if (repeated)
            Report(true, file, line.number,
                   "[" + name + "] again: only the first section of a name is read, this one is ignored");
          else if (!currentRead)
            Report(false, file, line.number,
                   "unknown section [" + name + "]: not read, and gone after the next rewrite");
          break;
        }
        case IniLine::Kind::Entry:
          // A comment is a key no reader asks for.
          if (line.text.front() != ';' && line.text.front() != '#') ReadEntry(file, line, current, currentRead);
          break;
      }
    }
  }

  void ReadEntry(const fs::path& file, const IniLine& line, IniSection* current, bool currentRead) {
    if (!current) {
      Report(true, file, line.number, "outside any section: ignored");
      return;
    }
    const bool known = IsKnown(KnownKeys(current->name), line.name);
    if (!line.hasEquals)
      Report(true, file, line.number,
             known && currentRead ? "no '=' in this line: " + std::string(line.name) + " is read as empty"
                                  : std::string("no '=' in this line: ignored"));
    if (!currentRead) return;
    IniKey key{std::string(line.name), std::string(line.value), line.number};
    if (text::EqualsIgnoreCase(key.name, "DEV_USE") && text::EqualsIgnoreCase(current->name, "DEVICE01")) {
      Report(false, file, line.number, "slot 1 has no DEV_USE: it is in use whenever DEV_NAME is not 0");
    } else if (!known) {
      if (line.hasEquals)
        Report(false, file, line.number, "unknown key " + key.name + ": not read, and gone after the next rewrite");
    } else if (current->Find(key.name)) {
      Report(true, file, line.number, key.name + " again: only the first one is read");
      return;
    }
    current->keys.push_back(std::move(key));
  }

  const IniSection* FindSection(std::string_view name) const {
    for (const auto& s : sections_)
      if (text::EqualsIgnoreCase(s.name, name)) return &s;
    return nullptr;
  }

  // The line of a key (or of its section, or 0) to point a finding at.
  int LineOf(std::string_view section, std::string_view key) const {
    const IniSection* s = FindSection(section);
    if (!s) return 0;
    const IniKey* k = s->Find(key);
    return k ? k->line : s->line;
  }

  // An integer the server reads by its leading digits: say what "9600 bps" becomes.
  void CheckNumber(const fs::path& file, std::string_view section, std::string_view key) {
    const IniSection* s = FindSection(section);
    const IniKey* k = s ? s->Find(key) : nullptr;
    if (!k || k->value.empty() || text::AllDigits(k->value)) return;
    Report(false, file, k->line,
           std::string(key) + "=" + k->value + " is read as " + std::to_string(text::LeadingInt32(k->value)));
  }

  void CheckSlots(const fs::path& file, const std::array<SlotConfig, kSlotCount>& slots) {
    bool anyEnabled = false;
    for (int n = 1; n <= kSlotCount; ++n) {
      const SlotConfig& slot = slots[n - 1];
      const std::string section = text::Format("DEVICE0%d", n);
      for (std::string_view key : {"DEV_NAME", "COM_BAUDRATE", "LAN_PORT"}) CheckNumber(file, section, key);
      if (slot.modelCode != 0 && !FindDeviceModel(slot.modelCode))
        Report(true, file, LineOf(section, "DEV_NAME"),
               text::Format("DEV_NAME=%u names no device model (lindra2d --list-models lists them)", slot.modelCode));
      if (const IniSection* s = FindSection(section); n >= 2 && s) {
        const IniKey* use = s->Find("DEV_USE");
        if (use && use->value != "Y" && use->value != "N")
          Report(false, file, use->line,
                 "DEV_USE=" + use->value + " leaves the slot out of use: only an upper-case Y puts it in use");
      }
      if (!IsSlotEnabled(n, slot)) continue;
      anyEnabled = true;
      CheckLink(file, section, slot);
    }
    if (!anyEnabled) Report(false, file, 0, "no slot is in use: the server connects nothing");
  }

  void CheckLink(const fs::path& file, const std::string& section, const SlotConfig& slot) {
    switch (LinkKindOf(slot.modelCode)) {
      case LinkKind::Serial:
        if (slot.comPort.empty())
          Report(true, file, LineOf(section, "COM_PORT"), "COM_PORT is empty: the slot cannot open its line");
        if (slot.baudRate <= 0)
          Report(true, file, LineOf(section, "COM_BAUDRATE"),
                 "COM_BAUDRATE is no speed: the slot cannot open its line");
        break;
      case LinkKind::Lan:
      case LinkKind::Cti:
        // A CTI slot listens on every address, yet does not start without one.
        if (slot.lanIp.empty()) Report(true, file, LineOf(section, "LAN_IP"), "LAN_IP is empty: the slot cannot start");
        if (!IsPort(slot.lanPort))
          Report(true, file, LineOf(section, "LAN_PORT"),
                 text::Format("LAN_PORT=%d is no port (1 to 65535)", slot.lanPort));
        break;
      case LinkKind::None:
        Report(true, file, LineOf(section, "DEV_NAME"), "the slot is in use but its DEV_NAME names no device");
        break;
    }
  }

  void CheckClient(const fs::path& file, const IniFile& ini) {
    CheckNumber(file, "CLIENT", "PROG_PORT");
    if (const int port = ini.GetInt("CLIENT", "PROG_PORT", 0); !IsPort(port))
      Report(true, file, LineOf("CLIENT", "PROG_PORT"),
             text::Format("PROG_PORT=%d is no port (1 to 65535): no operator PC can be told", port));
    if (ReadCenterId(ini).empty() || ReadEncryption(ini).empty())
      Report(false, file, LineOf("CLIENT", ReadCenterId(ini).empty() ? "CENTERID" : "ENCRYPTION"),
             "CENTERID or ENCRYPTION is empty: the server rewrites the whole file at start, with CENTERID=C00000 "
             "and without the keys it does not know");
    const std::string level = ReadLogLevelText(ini);
    bool knownLevel = false;
    for (std::string_view name : {"ERROR", "WARN", "INFO", "DEBUG"})
      knownLevel = knownLevel || text::EqualsIgnoreCase(level, name);
    if (!knownLevel) Report(false, file, LineOf("LOG", "LEVEL"), "LEVEL=" + level + " is read as DEBUG");
  }

  // The loader's rules, line by line: a line without a space is skipped, characters
  // outside a column's set are dropped silently. Both lose what the writer meant.
  void CheckTable(TableKind kind, int slotNo, bool enabled) {
    const fs::path file = workDir_ / RoutingTableFileName(kind, slotNo);
    const bool did = kind == TableKind::Did;
    const std::string consequence = did ? text::Format("every call of DEV0%d is dropped", slotNo)
                                        : text::Format("DEV0%d notifies by UDP broadcast", slotNo);
    std::error_code error;
    const auto bytes = ReadRoutingTableBytes(workDir_, kind, slotNo, &error);
    if (!bytes) {
      Report(did && enabled, file, 0,
             "cannot be read (" + ErrorText(error, kRoutingTableMaxBytes) + "): " + consequence);
      return;
    }
    int rows = 0;
    const std::string content = text::ToInternal(*bytes);
    for (const Line& line : NumberedLines(content)) {
      if (line.text.empty()) continue;
      const size_t space = line.text.find(' ');
      if (space == std::string_view::npos) {
        Report(true, file, line.number, "no space between the two columns (a tab is none): skipped");
        continue;
      }
      ++rows;
      if (line.text.front() == '#' || line.text.front() == ';') {
        Report(true, file, line.number,
               "tables have no comments: this line is read as a row with what digits it holds");
        continue;
      }
      CheckRow(kind, file, line, space);
    }
    if (rows == 0) Report(did && enabled, file, 0, "no rows: " + consequence);
  }

  void CheckRow(TableKind kind, const fs::path& file, const Line& line, size_t space) {
    std::string first, second;
    if (kind == TableKind::Did) {
      const DidRow row = ParseDidTable(line.text).front();
      first = row.trunkSpec;
      second = row.didNumber;
    } else {
      const AgentRow row = ParseAgentTable(line.text).front();
      first = row.extension;
      second = row.agentIp;
    }
    const std::array<std::pair<std::string_view, std::string>, 2> columns{
        {{text::TrimView(line.text.substr(0, space)), first}, {text::TrimView(line.text.substr(space + 1)), second}}};
    for (size_t c = 0; c < columns.size(); ++c) {
      const auto& [written, read] = columns[c];
      if (written == read) continue;
      Report(true, file, line.number,
             "'" + std::string(written) + "' is read as '" + read + "' (the " + (c == 0 ? "first" : "second") +
                 " column keeps only " + KeptCharacters(kind, c) + ")");
    }
    if (kind == TableKind::Did && first.starts_with(':'))
      Report(true, file, line.number, "'" + first + "' matches no trunk: a range needs its low end before ':'");
    in_addr address{};
    if (kind == TableKind::Agent && !second.empty() && inet_pton(AF_INET, second.c_str(), &address) != 1)
      Report(true, file, line.number, "'" + second + "' is no IPv4 address: this row's sender reaches nobody");
  }

  fs::path workDir_;
  std::vector<ConfigFinding> findings_;
  std::vector<IniSection> sections_;
};

}  // namespace

std::vector<ConfigFinding> CheckConfiguration(const std::filesystem::path& workDir) { return Checker(workDir).Run(); }

std::string FindingText(const ConfigFinding& finding) {
  std::string where = finding.file.string();
  if (finding.line > 0) where += ":" + std::to_string(finding.line);
  return where + (finding.error ? ": error: " : ": warning: ") + finding.text;
}

}  // namespace lindra
