// CTI link (model 202): "extension,trunk,caller" as one message of text. The message
// is a C string, so a zero byte ends it; the fields are views into it rather than
// the original's in-place cuts, with the same results.
#include "parse/field_reader.h"
#include "parse/formats.h"

namespace lindra::parse {
namespace {

// Splits off the text before the first ',' when there is one.
bool TakeField(std::string_view& rest, std::string_view& field) {
  auto comma = rest.find(',');
  if (comma == std::string_view::npos) return false;
  field = rest.substr(0, comma);
  rest.remove_prefix(comma + 1);
  return true;
}

}  // namespace

void ParseCti(std::string_view bytes, CallEvent& event) {
  std::string_view rest = FrameBytes(bytes).text();
  std::string_view field;
  SetKind(event, 'T');
  if (TakeField(rest, field)) {
    event.extension = AreaText(field, kExtensionArea);
    if (TakeField(rest, field)) event.trunk = AreaText(field, kTrunkArea);
  }
  event.callerNumber = TrimmedAreaText(rest, kCallerArea);
}

}  // namespace lindra::parse
