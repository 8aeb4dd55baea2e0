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

enum class Family { Samsung, Lg, CallerId, Cti, None };

Family FamilyOf(uint32_t modelCode) {
  switch (modelCode) {
    case 2:
    case 3:
    case 4:
    case 102:
    case 103:
    case 104:
    case 106:
    case 107:
      return Family::Samsung;
    case 5:
    case 6:
    case 105:
      return Family::Lg;
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
      return Family::CallerId;
    case 202:
      return Family::Cti;
    default:
      return Family::None;
  }
}

bool ParseByFamily(std::string_view frame, size_t length, uint32_t modelCode, CallEvent& event, ParseOutcome& outcome) {
  switch (FamilyOf(modelCode)) {
    case Family::Samsung:
      return parse::ParseSamsung(frame, modelCode, event, outcome);
    case Family::Lg:
      return parse::ParseLg(frame, modelCode, event, outcome);
    case Family::CallerId:
      return parse::ParseCallerId(frame, length, modelCode, event);
    case Family::Cti:
      parse::ParseCti(frame, event);
      return true;
    case Family::None:
      break;
  }
  // The code is printed as the original's signed conversion shows it.
  parse::Reject(outcome, ParseLogEntry::Kind::Error, text::Format("DEV에러 : %d", static_cast<int32_t>(modelCode)));
  return false;
}

}  // namespace

ParseOutcome ParseFrame(std::string_view frame, size_t length, uint32_t modelCode, std::string_view areaCode) {
  ParseOutcome outcome;
  CallEvent event;
  if (!ParseByFamily(frame, length, modelCode, event, outcome)) return outcome;
  ApplyAreaCode(event.callerNumber, areaCode);
  outcome.event = std::move(event);
  return outcome;
}

void ApplyAreaCode(std::string& callerNumber, std::string_view areaCode) {
  if (areaCode.empty()) return;
  if (!callerNumber.empty() && callerNumber.front() == '0') return;
  callerNumber.insert(0, areaCode);
}

}  // namespace lindra
