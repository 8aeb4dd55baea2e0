#include "parse/parse_frame.h"

#include "parse/formats.h"
#include "text/strings.h"

namespace lindra {
namespace parse {

void Reject(ParseOutcome& outcome, ParseLogEntry::Kind kind, std::string text) {
  outcome.statusLine = "[ERR] " + text;
  outcome.log.push_back({kind, std::move(text)});
}

}  // namespace parse

namespace {

// A device that garbles a frame can put any byte into a field. The operators'
// programs, the window and the telephone log take a field as one piece of text, so
// a line feed in a number would split their lines: no field leaves with a control
// byte, whatever the format.
void EraseControlBytes(CallEvent& event) {
  for (std::string* field :
       {&event.kind, &event.callerNumber, &event.trunk, &event.didNumber, &event.extension, &event.receivedTime}) {
    std::erase_if(*field, text::IsControl);
  }
}

void ApplyAreaCode(std::string& callerNumber, std::string_view areaCode) {
  if (areaCode.empty()) return;
  if (!callerNumber.empty() && callerNumber.front() == '0') return;
  callerNumber.insert(0, areaCode);
}

bool ParseByFamily(const parse::FrameBytes& frame, size_t length, uint32_t modelCode, CallEvent& event,
                   ParseOutcome& outcome) {
  const MessageFormat format = ModelOf(modelCode).format;
  switch (FamilyOf(format)) {
    case FormatFamily::Samsung:
      return parse::ParseSamsung(frame, format, event, outcome);
    case FormatFamily::Lg:
      return parse::ParseLg(frame, format, event, outcome);
    case FormatFamily::CallerId:
      return parse::ParseCallerId(frame, length, format, event);
    case FormatFamily::Cti:
      parse::ParseCti(frame, event);
      return true;
    case FormatFamily::None:
      break;
  }
  // DEV_NAME is a signed number in lindra.ini: printed signed, DEV_NAME=-5 shows as
  // the -5 that was written.
  parse::Reject(outcome, ParseLogEntry::Kind::Error, text::Format("DEV에러 : %d", static_cast<int32_t>(modelCode)));
  return false;
}

}  // namespace

ParseOutcome ParseFrame(std::string_view frame, size_t length, uint32_t modelCode, std::string_view areaCode,
                        const text::Encoding& encoding) {
  ParseOutcome outcome;
  CallEvent event;
  if (!ParseByFamily(parse::FrameBytes(frame, encoding), length, modelCode, event, outcome)) return outcome;
  EraseControlBytes(event);
  ApplyAreaCode(event.callerNumber, areaCode);
  outcome.event = std::move(event);
  return outcome;
}

}  // namespace lindra
