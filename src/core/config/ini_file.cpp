#include "config/ini_file.h"

#include "config/ini_encoding.h"
#include "text/strings.h"

namespace lindra {

IniFile IniFile::Parse(std::string_view bytes) { return ParseText(DecodeIniBytes(bytes).text); }

IniFile IniFile::ParseText(std::string_view content) {
  IniFile ini;
  std::string_view rest = content;
  Section* current = nullptr;  // keys before the first section belong to none
  while (!rest.empty()) {
    size_t end = rest.find_first_of("\r\n");
    std::string_view line = text::TrimView(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.empty()) continue;
    if (line.front() == '[') {
      size_t close = line.rfind(']');
      if (close == std::string_view::npos) continue;
      ini.sections_.push_back({std::string(line.substr(1, close - 1)), {}});
      current = &ini.sections_.back();
      continue;
    }
    if (!current) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      current->entries.push_back({std::string(line), std::string()});
    } else {
      current->entries.push_back({text::Trim(line.substr(0, eq)), text::Trim(line.substr(eq + 1))});
    }
  }
  return ini;
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
  for (const auto& s : sections_) {
    if (!text::EqualsIgnoreCase(s.name, section)) continue;
    for (const auto& e : s.entries)
      if (text::EqualsIgnoreCase(e.key, key)) return e.value;
    return std::nullopt;  // only the first section of a name is searched
  }
  return std::nullopt;
}

std::string IniFile::GetString(std::string_view section, std::string_view key, std::string_view fallback,
                               size_t bufferChars) const {
  auto value = Find(section, key);
  std::string_view chosen = value ? std::string_view(*value) : fallback;
  return text::CutChars(chosen, bufferChars > 0 ? bufferChars - 1 : 0);
}

int IniFile::GetInt(std::string_view section, std::string_view key, int fallback) const {
  auto value = Find(section, key);
  return value ? text::LeadingInt32(*value) : fallback;
}

}  // namespace lindra
