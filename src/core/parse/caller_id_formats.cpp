// Caller-ID boxes: each reports a line and the caller's number as
// one call of kind "T". Where a box knows no extension, its line stands in both the
// trunk and the extension, so both routing tables can be keyed by line.
//
// Zero bytes: the fixed-offset formats (MCID, CallStar, CID-1000, CID-1000A) read each
// field as its own C string, so a zero byte ends only the field it falls in. The text
// format of the SeeID-PC and the search for the 'C' of the SeeID-4 end at the frame's
// first zero byte; the SeeID-4's length bytes are binary and may be zero, so its fields
// are read at their positions whatever precedes them. Speed 부르미 reads byte by byte
// and stops at a zero byte.
#include <algorithm>
#include <array>

#include "parse/field_reader.h"
#include "parse/formats.h"

namespace lindra::parse {
namespace {

void SetLine(const FrameBytes& frame, CallEvent& event, std::string_view line, bool alsoExtension) {
  event.trunk = frame.Area(line, kTrunkArea);
  if (alsoExtension) event.extension = frame.Area(line, kExtensionArea);
}

long long Signed(unsigned char byte) { return static_cast<signed char>(byte); }

// MCID: the line in two columns, the number from offset 10 to the end.
void ParseMcid(const FrameBytes& frame, long long length, CallEvent& event) {
  SetLine(frame, event, frame.Span(0, 2), false);
  event.callerNumber = frame.TrimmedArea(frame.Span(10, length - 10), kCallerArea);
}

// The value after `keyword` up to the end of its line (or of the frame), not trimmed.
// The device's 63-byte value buffer is wider than any area it is copied into.
std::string_view ReportValue(std::string_view text, std::string_view keyword) {
  auto pos = text.find(keyword);
  if (pos == std::string_view::npos) return {};
  auto value = text.substr(pos + keyword.size());
  return value.substr(0, value.find('\r'));
}

// BDTel SeeID-PC: a keyword report. Only a report of type "D" is a call.
void ParseSeeIdPc(const FrameBytes& frame, CallEvent& event) {
  const auto text = frame.text();
  constexpr std::string_view kReport = "Report\r\n";
  const bool isCall =
      text.find(kReport) != std::string_view::npos && text::EqualsIgnoreCase(ReportValue(text, kReport), "D");
  if (!isCall) {
    SetKind(event, 'H');
    return;
  }
  event.receivedTime = frame.Area(ReportValue(text, "Time:"), kTimeArea);
  event.callerNumber = frame.Area(ReportValue(text, "Number:"), kCallerArea);
  SetLine(frame, event, ReportValue(text, "Group:"), true);
}

// The caller number of the SeeID-4 after its time text: a length byte and the digits,
// with one more byte between them and the time on some firmware.
std::string_view SeeId4Number(const FrameBytes& frame, long long afterTime) {
  if (frame.DigitAt(afterTime + 2)) return frame.Span(afterTime + 2, Signed(frame.At(afterTime + 1)));
  if (frame.DigitAt(afterTime + 3)) return frame.Span(afterTime + 3, Signed(frame.At(afterTime + 2)));
  return {};
}

// BDTel SeeID-4: positions count from the first 'C'; the line is the byte
// before it (none when the frame starts with it).
void ParseSeeId4(const FrameBytes& frame, CallEvent& event) {
  const auto text = frame.text();
  const auto found = text.find('C');
  const auto c = static_cast<long long>(found == std::string_view::npos ? text.size() : found);
  SetLine(frame, event, c > 0 ? frame.Span(c - 1, 1) : std::string_view(), true);

  const long long timeLength = Signed(frame.At(c + 2));
  event.receivedTime = frame.Area(frame.Span(c + 3, timeLength), kTimeArea);

  const std::string_view number = SeeId4Number(frame, c + timeLength + 3);
  // Numbers come without their leading '0'; the area keeps 15 bytes with it in front.
  const bool prefixed = !number.empty() && number.front() != '0';
  event.callerNumber = prefixed ? "0" + frame.Area(number, kCallerArea - 1) : frame.Area(number, kCallerArea);
}

// CallStar: an incoming-call record ('I') has its line at 1 and the number
// from 10 on; the other records have the line at 0 and 12 columns of number at 2.
void ParseCallStar(const FrameBytes& frame, CallEvent& event) {
  const bool incoming = frame.At(0) == 'I';
  SetLine(frame, event, frame.Span(incoming ? 1 : 0, 1), true);
  event.callerNumber = frame.TrimmedArea(incoming ? frame.Rest(10) : frame.Span(2, 12), kCallerArea);
}

// Speed 부르미: every byte carries the line in its two top bits; the first
// byte (the start code) names the line.
struct SpeedLine {
  unsigned char firstByte;
  unsigned char offset;
  std::string_view line;
};
constexpr std::array<SpeedLine, 4> kSpeedLines{
    {{0x10, 0x00, "1"}, {0x50, 0x40, "2"}, {0x90, 0x80, "3"}, {0xD0, 0xC0, "4"}}};

// Returns false for a first byte that names no line.
bool ParseSpeedBurumi(const FrameBytes& frame, CallEvent& event) {
  const SpeedLine* speed = nullptr;
  for (const auto& candidate : kSpeedLines)
    if (candidate.firstByte == frame.At(0)) speed = &candidate;
  if (speed == nullptr) return false;

  constexpr unsigned char kStartCode = 0x10, kEndCode = 0x1F;
  std::string number;
  for (char raw : frame.bytes()) {
    const auto code = static_cast<unsigned char>(static_cast<unsigned char>(raw) - speed->offset);
    // A zero byte ends the frame's text, a zero code ends the number's area text.
    if (raw == 0 || code == 0 || code == kEndCode) break;
    if (code != kStartCode) number += static_cast<char>(code);
  }
  SetLine(frame, event, speed->line, true);
  event.callerNumber = frame.Area(number, kCallerArea);
  return true;
}

// CID-1000 and CID-1000A: the line at 0, the number at 4, its
// width given by the frame length less the box's header and trailer.
void ParseCid1000(const FrameBytes& frame, long long numberWidth, CallEvent& event) {
  SetLine(frame, event, frame.Span(0, 1), false);
  event.callerNumber = frame.TrimmedArea(frame.Span(4, numberWidth), kCallerArea);
}

}  // namespace

bool ParseCallerId(const FrameBytes& frame, size_t length, MessageFormat format, CallEvent& event) {
  // A length larger than the frame is cut to it by the reads; beyond any real frame
  // it would not fit the signed arithmetic of the widths.
  const auto len = static_cast<long long>(std::min(length, frame.bytes().size()));
  SetKind(event, 'T');
  switch (format) {
    case MessageFormat::Mcid:
      ParseMcid(frame, len, event);
      return true;
    case MessageFormat::SeeIdPc:
      ParseSeeIdPc(frame, event);
      return true;
    case MessageFormat::SeeId4:
      ParseSeeId4(frame, event);
      return true;
    case MessageFormat::CallStar:
      ParseCallStar(frame, event);
      return true;
    case MessageFormat::SpeedBurumi:
      return ParseSpeedBurumi(frame, event);
    case MessageFormat::Cid1000:
      ParseCid1000(frame, len - 5, event);
      return true;
    case MessageFormat::Cid1000A:
      ParseCid1000(frame, len - 3, event);
      return true;
    default:
      return false;
  }
}

}  // namespace lindra::parse
