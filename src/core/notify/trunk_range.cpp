#include "notify/trunk_range.h"

#include "text/strings.h"

namespace lindra {
namespace {

// The leading-digit value of a text as sign and significant digits, so that values
// of any length compare exactly (trunk texts may be longer than any integer type).
struct DecimalText {
  bool negative = false;
  std::string_view digits;  // no leading zeros; empty for zero
};

DecimalText ReadDecimal(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && text::IsBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  while (i < s.size() && s[i] == '0') ++i;
  size_t end = i;
  while (end < s.size() && text::IsDigit(s[end])) ++end;
  DecimalText value{negative, s.substr(i, end - i)};
  if (value.digits.empty()) value.negative = false;
  return value;
}

int CompareMagnitude(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::optional<TrunkRange> SplitAt(std::string_view text, size_t colon) {
  if (colon == std::string_view::npos) return std::nullopt;
  return TrunkRange{text.substr(0, colon), text.substr(colon + 1)};
}

}  // namespace

int CompareDecimal(std::string_view a, std::string_view b) {
  DecimalText x = ReadDecimal(a);
  DecimalText y = ReadDecimal(b);
  if (x.negative != y.negative) return x.negative ? -1 : 1;
  int magnitude = CompareMagnitude(x.digits, y.digits);
  return x.negative ? -magnitude : magnitude;
}

bool WithinRange(std::string_view value, const TrunkRange& range) {
  return CompareDecimal(range.low, value) <= 0 && CompareDecimal(value, range.high) <= 0;
}

std::optional<TrunkRange> RoutingRange(std::string_view trunkSpec) {
  size_t colon = trunkSpec.find(':');
  return colon == 0 ? std::nullopt : SplitAt(trunkSpec, colon);
}

std::optional<TrunkRange> EditorRange(std::string_view trunkSpec) { return SplitAt(trunkSpec, trunkSpec.find(':')); }

bool TrunkMatches(std::string_view trunkSpec, std::string_view trunk) {
  if (auto range = RoutingRange(trunkSpec)) return trunk.size() == range->low.size() && WithinRange(trunk, *range);
  return trunkSpec == trunk;
}

}  // namespace lindra
