#include "config/ini_file.h"

#include "config/ini_encoding.h"
#include "text/strings.h"

namespace lindra {

IniFile IniFile::Parse(std::string_view bytes) { return ParseText(DecodeIniBytes(bytes).text); }

std::vector<IniLine> IniFile::Lines(std::string_view text) {
  std::vector<IniLine> lines;
  int sections = 0;
  std::string_view rest = text;
  for (int number = 1; !rest.empty(); ++number) {
    const size_t end = rest.find_first_of("\r\n");
    IniLine line;
    line.number = number;
    line.text = text::TrimView(rest.substr(0, end));
    const bool crLf =
        end != std::string_view::npos && rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n';
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + (crLf ? 2 : 1));
    if (line.text.empty()) {
      lines.push_back(line);
      continue;
    }
    if (line.text.front() == '[') {
      const size_t close = line.text.rfind(']');
      if (close == std::string_view::npos) {
        line.kind = IniLine::Kind::UnclosedSection;
      } else {
        line.kind = IniLine::Kind::Section;
        line.name = line.text.substr(1, close - 1);
        line.section = sections++;
      }
      lines.push_back(line);
      continue;
    }
    line.kind = IniLine::Kind::Entry;
    line.section = sections - 1;
    const size_t eq = line.text.find('=');
    line.hasEquals = eq != std::string_view::npos;
    line.name = line.hasEquals ? text::TrimView(line.text.substr(0, eq)) : line.text;
    if (line.hasEquals) line.value = text::TrimView(line.text.substr(eq + 1));
    lines.push_back(line);
  }
  return lines;
}

IniFile IniFile::ParseText(std::string_view content) {
  IniFile ini;
  for (const IniLine& line : Lines(content)) {
    if (line.kind == IniLine::Kind::Section) ini.sections_.push_back({std::string(line.name), {}});
    // Keys before the first section belong to none.
    if (line.kind == IniLine::Kind::Entry && line.section >= 0)
      ini.sections_[static_cast<size_t>(line.section)].entries.push_back(
          {std::string(line.name), std::string(line.value)});
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
