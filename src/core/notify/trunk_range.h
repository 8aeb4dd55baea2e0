#pragma once
// Trunk specs of the DID table: one trunk number, or a range written "low:high".
#include <optional>
#include <string_view>

namespace lindra {

struct TrunkRange {
  std::string_view low;   // the text before the first ':'
  std::string_view high;  // the text after it
};

// Compares the decimal values of the leading digits of two texts (optional blanks and
// a sign first; no digits reads as 0) exactly, whatever their length: -1, 0 or 1.
int CompareDecimal(std::string_view a, std::string_view b);

// True when the decimal value of `value` lies within the range, bounds included.
bool WithinRange(std::string_view value, const TrunkRange& range);

// Routing's view: a trunkSpec is a range when it holds ':' after its first character.
std::optional<TrunkRange> RoutingRange(std::string_view trunkSpec);

// The editor's view: a trunkSpec is a range when it holds ':' anywhere.
std::optional<TrunkRange> EditorRange(std::string_view trunkSpec);

// A trunk matches a range of the same width as its low end and within its bounds,
// and any other trunkSpec by equal text.
bool TrunkMatches(std::string_view trunkSpec, std::string_view trunk);

}  // namespace lindra
