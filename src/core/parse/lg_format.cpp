// LG exchanges: one line per call state, told apart by its leading bytes; the
// answered line comes in two column layouts, found by where the "->" arrow's '-'
// stands. Frames end at CR LF, so a zero byte can stay inside one: fixed-offset
// fields stop at it, and the arrow search (a text search) ends at it.
#include "parse/field_reader.h"
#include "parse/formats.h"

namespace lindra::parse {
namespace {

enum class Layout { Older, Newer, Neither };

bool DashWithin(const FrameBytes& frame, int first, int last) {
  for (int p = first; p <= last; ++p)
    if (frame.At(p) == '-') return true;
  return false;
}

Layout AnsweredLayout(const FrameBytes& frame) {
  if (DashWithin(frame, 18, 20)) return Layout::Older;
  if (DashWithin(frame, 22, 24)) return Layout::Newer;
  return Layout::Neither;
}

// Position of the '-' of the first "->" at or after offset 15, or -1.
long long ArrowAt(const FrameBytes& frame) {
  auto pos = frame.Rest(15).find("->");
  return pos == std::string_view::npos ? -1 : 15 + static_cast<long long>(pos);
}

// The extension follows the arrow directly ("->2011") or after one blank ("-> 2011");
// a three-digit one may stand a column further right ("->  201").
bool BlankAfterArrow(const FrameBytes& frame, long long p) { return text::IsBlank(static_cast<char>(frame.At(p + 2))); }

std::string_view OlderExtension(const FrameBytes& frame) {
  const long long p = ArrowAt(frame);
  if (p < 0) return {};
  if (!BlankAfterArrow(frame, p)) return frame.ShortNumber(p + 2);
  return frame.ShortNumber(frame.At(p + 3) == ' ' ? p + 4 : p + 3);
}

std::string_view NewerExtension(const FrameBytes& frame) {
  const long long p = ArrowAt(frame);
  if (p < 0) return {};
  if (!BlankAfterArrow(frame, p)) return frame.Span(p + 2, 4);
  return frame.At(p + 3) == ' ' ? frame.Span(p + 4, 3) : frame.Span(p + 3, 4);
}

void ParseRinging(const FrameBytes& frame, CallEvent& event) {
  SetKind(event, 'R');
  event.trunk = frame.TrimmedArea(frame.ShortNumber(1), kTrunkArea);
  event.callerNumber = frame.TrimmedArea(frame.Span(7, 11), kCallerArea);
}

void ParseEnded(const FrameBytes& frame, CallEvent& event) {
  SetKind(event, 'H');
  event.extension = frame.TrimmedArea(frame.ShortNumber(5), kExtensionArea);
  event.trunk = frame.TrimmedArea(frame.ShortNumber(11), kTrunkArea);
  event.receivedTime = frame.Area(frame.Span(33, 5), kTimeArea);
  event.callerNumber = frame.TrimmedArea(frame.Span(40, 11), kCallerArea);
}

// Returns the model tag of the layout, empty when the line fits neither.
std::string_view ParseAnswered(const FrameBytes& frame, MessageFormat format, CallEvent& event) {
  SetKind(event, 'T');
  switch (AnsweredLayout(frame)) {
    case Layout::Older:
      event.trunk = frame.TrimmedArea(frame.ShortNumber(2), kTrunkArea);
      event.callerNumber = frame.TrimmedArea(frame.Span(8, 11), kCallerArea);
      event.extension = frame.TrimmedArea(OlderExtension(frame), kExtensionArea);
      return "LDK50 OLD";
    case Layout::Newer: {
      // The Digital Keyphone prints a three-column trunk, so its number starts a byte earlier.
      const bool keyphone = format == MessageFormat::LgKeyphone;
      const int callerWidth = frame.At(22) == '-' ? 10 : 11;
      event.trunk = frame.TrimmedArea(frame.Span(8, keyphone ? 3 : 4), kTrunkArea);
      event.callerNumber = frame.TrimmedArea(frame.Span(keyphone ? 11 : 12, callerWidth), kCallerArea);
      event.extension = frame.TrimmedArea(NewerExtension(frame), kExtensionArea);
      return keyphone ? "LG Digital Keyphone" : "LDK50 NEW";
    }
    case Layout::Neither:
      break;
  }
  return {};
}

void LogAnswered(std::string_view tag, const CallEvent& event, ParseOutcome& outcome) {
  using Kind = ParseLogEntry::Kind;
  outcome.log.reserve(5);
  if (!tag.empty()) outcome.log.push_back({Kind::Plain, std::string(tag)});
  for (const std::string* field : {&event.kind, &event.trunk, &event.extension, &event.callerNumber})
    outcome.log.push_back({Kind::Plain, *field});
}

}  // namespace

bool ParseLg(const FrameBytes& frame, MessageFormat format, CallEvent& event, ParseOutcome& outcome) {
  if (frame.At(0) == 0x07) {
    ParseRinging(frame, event);
  } else if (frame.At(0) == 0x06 && frame.At(1) == 0x06) {
    LogAnswered(ParseAnswered(frame, format, event), event, outcome);
  } else if (frame.At(39) == 'I') {
    ParseEnded(frame, event);
  } else {
    // Byte 0 as a character; a zero byte prints nothing, as it ends the text.
    Reject(outcome, ParseLogEntry::Kind::Level0, "구분에러 : " + frame.Text(frame.Span(0, 1)));
    return false;
  }
  return true;
}

}  // namespace lindra::parse
