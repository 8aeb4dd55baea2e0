#pragma once
// A line for the message log as the part that wrote it knows it: how bad it is and
// the system error number it reports, beside the text the operators read. Front ends
// and the journal take the severity and the number from here, never from the text.
#include <optional>
#include <string>
#include <utility>

namespace lindra {

enum class Severity { Info, Warning, Error };

struct StatusLine {
  Severity severity = Severity::Info;
  std::string text;          // as shown, tag included: "[ERR] recv 실패 : 104"
  std::optional<int> error;  // the errno (or resolver code) the line reports, if any

  static StatusLine Info(std::string text) { return {Severity::Info, std::move(text), std::nullopt}; }
  static StatusLine Warning(std::string text) { return {Severity::Warning, std::move(text), std::nullopt}; }
  static StatusLine Error(std::string text, std::optional<int> error = std::nullopt) {
    return {Severity::Error, std::move(text), error};
  }
  bool operator==(const StatusLine&) const = default;
};

}  // namespace lindra
