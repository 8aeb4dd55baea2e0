// CTI link (model 202): "extension,trunk,caller" as one message of text. The message
// is a C string, so a zero byte ends it. The fields are views into the message: it
// stays intact for the log and the mirror, which see every byte that was received.
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

void ParseCti(const FrameBytes& frame, CallEvent& event) {
  std::string_view rest = frame.text();
  std::string_view field;
  SetKind(event, 'T');
  if (TakeField(rest, field)) {
    event.extension = frame.Area(field, kExtensionArea);
    if (TakeField(rest, field)) event.trunk = frame.Area(field, kTrunkArea);
  }
  event.callerNumber = frame.TrimmedArea(rest, kCallerArea);
}

}  // namespace lindra::parse
