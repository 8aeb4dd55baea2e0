#pragma once
// Reading of lindra.ini by the platform's private-profile rules: section and key
// names match without regard to case, the value is the text after the first "="
// with surrounding blanks removed, the first section of a name and the first key of
// a name in it win, and a missing key gives the caller's default.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lindra {

class IniFile {
 public:
  // The file's bytes in any encoding of DecodeIniBytes; any bytes at all are accepted.
  static IniFile Parse(std::string_view bytes);
  // Text already decoded to UTF-8.
  static IniFile ParseText(std::string_view text);

  // The value (UTF-8), or nullopt when the section or the key is missing.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // The value cut to `bufferChars` - 1 characters, as a read into a buffer of that
  // many characters returns it; `fallback` when missing.
  std::string GetString(std::string_view section, std::string_view key, std::string_view fallback,
                        size_t bufferChars = 510) const;
  // Leading-digit conversion of the value; `fallback` when missing.
  int GetInt(std::string_view section, std::string_view key, int fallback) const;

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  std::vector<Section> sections_;
};

}  // namespace lindra
