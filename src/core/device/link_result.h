#pragma once
// What starting a link (or a whole slot) tells the controller: whether it opened,
// and the line to show either way ("[WARN] ..." when it did, "[ERR] ..." with the
// system's error number when not).
#include <optional>
#include <string>
#include <utility>

#include "log/status_line.h"

namespace lindra {

struct LinkResult {
  bool ok = false;
  StatusLine line;

  static LinkResult Opened(std::string text) { return {true, StatusLine::Warning(std::move(text))}; }
  static LinkResult Failed(std::string text, std::optional<int> error = std::nullopt) {
    return {false, StatusLine::Error(std::move(text), error)};
  }
  bool operator==(const LinkResult&) const = default;
};

}  // namespace lindra
