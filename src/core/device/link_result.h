#pragma once
// What starting a link (or a whole slot) tells the controller: whether it opened,
// and the line to show either way ("[WARN] ..." when it did, "[ERR] ..." when not).
#include <string>
#include <utility>

namespace lindra {

struct LinkResult {
  bool ok = false;
  std::string text;

  static LinkResult Opened(std::string text) { return {true, std::move(text)}; }
  static LinkResult Failed(std::string text) { return {false, std::move(text)}; }
  bool operator==(const LinkResult&) const = default;
};

}  // namespace lindra
