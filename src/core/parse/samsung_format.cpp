// Samsung DCS and OfficeServ exchanges: one fixed-column line per call state. A zero
// byte ends a frame of these models, so a delivered frame holds none; the fields are
// cut at the frame's end (and would stop at a zero byte all the same).
#include "parse/field_reader.h"
#include "parse/formats.h"

namespace lindra::parse {
namespace {

enum class Variant {
  Dcs828,  // 2, 102
  Dcs500,  // 3, 103: trunk at 46, or at 14 when 46 holds no number
  Pri,     // 4, 104, 106, 107: second number at 46, redirect rule
};

Variant VariantOf(uint32_t modelCode) {
  switch (modelCode) {
    case 2:
    case 102:
      return Variant::Dcs828;
    case 3:
    case 103:
      return Variant::Dcs500;
    default:
      return Variant::Pri;
  }
}

// The state marker at 43: "T " ringing, "IA" answered, "I " ended, "A " other.
char KindOfMarker(std::string_view marker) {
  if (marker == "T ") return 'R';
  if (marker == "IA") return 'T';
  if (marker == "I ") return 'H';
  if (marker == "A ") return 'N';
  return 0;
}

std::string_view ReadTrunk(const FrameBytes& frame, Variant variant) {
  if (variant != Variant::Dcs500) return frame.ShortNumber(14);
  auto first = frame.ShortNumber(46);
  if (!first.empty() && text::IsDigit(first.front())) return first;
  return frame.ShortNumber(14);
}

// A second number of four characters (or three on the OfficeServ models 106 and
// 107) names the line the call was redirected to: it replaces the trunk. The entry
// pads like the device-side sprintf, on the edge bytes.
void ApplyRedirect(const FrameBytes& frame, uint32_t modelCode, std::string_view& trunk, std::string_view& second,
                   ParseOutcome& outcome) {
  const char* format = nullptr;
  if (second.size() == 4) {
    format = " Redirect [%4.*s] -> [%4.*s]";
  } else if (second.size() == 3 && (modelCode == 106 || modelCode == 107)) {
    format = " Redirect [%4.*s] -> [%3.*s]";
  }
  if (format == nullptr) return;
  auto entry = text::Format(format, static_cast<int>(trunk.size()), trunk.data(), static_cast<int>(second.size()),
                            second.data());
  outcome.log.push_back({ParseLogEntry::Kind::Plain, frame.Text(entry)});
  trunk = second;
  second = {};
}

}  // namespace

bool ParseSamsung(const FrameBytes& frame, uint32_t modelCode, CallEvent& event, ParseOutcome& outcome) {
  const Variant variant = VariantOf(modelCode);

  auto marker = frame.Span(43, 2);
  const char kind = KindOfMarker(marker);
  if (kind == 0) {
    Reject(outcome, ParseLogEntry::Kind::Error, "구분에러 : " + frame.Text(marker));
    return false;
  }
  SetKind(event, kind);

  auto trunk = ReadTrunk(frame, variant);
  if (variant == Variant::Pri) {
    auto second = text::TrimView(frame.ShortNumber(46));
    ApplyRedirect(frame, modelCode, trunk, second, outcome);
    event.didNumber = frame.Area(second, kSecondNumberArea);
  }
  event.trunk = frame.Area(trunk, kTrunkArea);
  event.extension = frame.Area(frame.ShortNumber(4), kExtensionArea);
  event.callerNumber = variant == Variant::Dcs828 ? frame.TrimmedArea(frame.Span(94, 12), kCallerArea)
                                                  : frame.TrimmedArea(frame.Span(87, 11), kCallerArea);
  event.receivedTime = frame.Area(frame.Span(25, 8), kTimeArea);
  return true;
}

}  // namespace lindra::parse
