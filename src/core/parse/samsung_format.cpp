// Samsung DCS and OfficeServ exchanges: one fixed-column line per call state. A zero
// byte ends a frame of these models, so a delivered frame holds none; the fields are
// cut at the frame's end (and would stop at a zero byte all the same).
#include "parse/field_reader.h"
#include "parse/formats.h"

namespace lindra::parse {
namespace {

// The state marker at 43: "T " ringing, "IA" answered, "I " ended, "A " other.
char KindOfMarker(std::string_view marker) {
  if (marker == "T ") return 'R';
  if (marker == "IA") return 'T';
  if (marker == "I ") return 'H';
  if (marker == "A ") return 'N';
  return 0;
}

// The DCS 500 prints the trunk at 46, or at 14 when 46 holds no number.
std::string_view ReadTrunk(const FrameBytes& frame, MessageFormat format) {
  if (format != MessageFormat::SamsungDcs500) return frame.ShortNumber(14);
  auto first = frame.ShortNumber(46);
  if (!first.empty() && text::IsDigit(first.front())) return first;
  return frame.ShortNumber(14);
}

// A second number of four characters (or three on the OfficeServ exchanges) names
// the line the call was redirected to: it replaces the trunk. The entry pads like the
// device-side sprintf, on the edge bytes.
void ApplyRedirect(const FrameBytes& frame, MessageFormat format, std::string_view& trunk, std::string_view& second,
                   ParseOutcome& outcome) {
  const char* entryFormat = nullptr;
  if (second.size() == 4) {
    entryFormat = " Redirect [%4.*s] -> [%4.*s]";
  } else if (second.size() == 3 && format == MessageFormat::SamsungOfficeServ) {
    entryFormat = " Redirect [%4.*s] -> [%3.*s]";
  }
  if (entryFormat == nullptr) return;
  auto entry = text::Format(entryFormat, static_cast<int>(trunk.size()), trunk.data(), static_cast<int>(second.size()),
                            second.data());
  outcome.log.push_back({ParseLogEntry::Kind::Plain, frame.Text(entry)});
  trunk = second;
  second = {};
}

}  // namespace

bool ParseSamsung(const FrameBytes& frame, MessageFormat format, CallEvent& event, ParseOutcome& outcome) {
  auto marker = frame.Span(43, 2);
  const char kind = KindOfMarker(marker);
  if (kind == 0) {
    Reject(outcome, ParseLogEntry::Kind::Error, "구분에러 : " + frame.Text(marker));
    return false;
  }
  SetKind(event, kind);

  auto trunk = ReadTrunk(frame, format);
  // The PRI and OfficeServ exchanges print a second number at 46.
  if (format == MessageFormat::SamsungPri || format == MessageFormat::SamsungOfficeServ) {
    auto second = text::TrimView(frame.ShortNumber(46));
    ApplyRedirect(frame, format, trunk, second, outcome);
    event.didNumber = frame.Area(second, kSecondNumberArea);
  }
  event.trunk = frame.Area(trunk, kTrunkArea);
  event.extension = frame.Area(frame.ShortNumber(4), kExtensionArea);
  event.callerNumber = format == MessageFormat::SamsungDcs828 ? frame.TrimmedArea(frame.Span(94, 12), kCallerArea)
                                                              : frame.TrimmedArea(frame.Span(87, 11), kCallerArea);
  event.receivedTime = frame.Area(frame.Span(25, 8), kTimeArea);
  return true;
}

}  // namespace lindra::parse
