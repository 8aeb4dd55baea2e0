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

// One line of the file as the reader takes it. Lines are numbered as an editor
// numbers them: CR LF, a lone CR and a lone LF each end one line.
struct IniLine {
  enum class Kind {
    Blank,
    Section,          // "[name]"; text after the last ']' is ignored
    UnclosedSection,  // '[' without ']': ignored, the keys below stay where they were
    Entry,            // any other line: a key, with the value after its first '='
  };
  int number = 0;  // from 1
  Kind kind = Kind::Blank;
  std::string_view text;   // the line, trimmed
  std::string_view name;   // Section: the name; Entry: the key, trimmed
  std::string_view value;  // Entry: the value, trimmed; empty without '='
  bool hasEquals = false;  // Entry: the line holds '='
  // Entry: the Section line it belongs to, counted from 0 over every Section line
  // (a repeated name too); -1 before the first one, where it belongs to none.
  int section = -1;
};

class IniFile {
 public:
  // The file's bytes in any encoding of DecodeIniBytes; any bytes at all are accepted.
  static IniFile Parse(std::string_view bytes);
  // Text already decoded to UTF-8.
  static IniFile ParseText(std::string_view text);
  // Every line of decoded text, as ParseText reads them: what the checker of the
  // file walks, so that it and the server can never read a file differently.
  static std::vector<IniLine> Lines(std::string_view text);

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
