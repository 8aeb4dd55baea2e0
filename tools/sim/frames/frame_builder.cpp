#include "frames/frame_builder.h"

#include <vector>

#include "model/device_model.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra::sim {
namespace {

// Writes `value` (edge bytes) left-aligned into the columns [offset, offset + width),
// cut to the width; the columns are blank beforehand.
void Put(std::string& line, size_t offset, std::string_view value, size_t width) {
  const auto bytes = text::ToExternal(value);
  line.replace(offset, std::min(bytes.size(), width), bytes.substr(0, width));
}

std::string BlankLine(size_t width) { return std::string(width, ' '); }

// Samsung: "  1" then fixed columns; the state marker at 43 carries the kind.
std::string SamsungLine(MessageFormat format, const CallSpec& call) {
  const bool dcs828 = format == MessageFormat::SamsungDcs828;
  const bool dcs500 = format == MessageFormat::SamsungDcs500;
  std::string line = BlankLine(dcs828 ? 106 : 98);
  Put(line, 0, "  1", 3);
  Put(line, 4, call.extension, 4);
  // The DCS 500 prints the trunk in its second trunk column; the others at 14.
  Put(line, dcs500 ? 46 : 14, call.trunk, 4);
  if (!dcs828 && !dcs500) Put(line, 46, call.didNumber, 4);
  Put(line, 25, call.time, 8);
  const std::string_view marker = call.kind == 'R' ? "T " : call.kind == 'T' ? "IA" : call.kind == 'H' ? "I " : "A ";
  Put(line, 43, marker, 2);
  Put(line, dcs828 ? 94 : 87, call.callerNumber, dcs828 ? 12 : 11);
  return line + "\r";
}

// The "->" arrow of an LG answered line at `dash`: a four-character extension right
// after "-> ", a shorter one a column later.
void PutArrow(std::string& line, size_t dash, std::string_view extension) {
  Put(line, dash, "->", 2);
  Put(line, text::ToExternal(extension).size() >= 4 ? dash + 3 : dash + 4, extension, 4);
}

std::string LgRinging(const CallSpec& call) {
  std::string line = BlankLine(18);
  line[0] = '\x07';
  Put(line, 1, call.trunk, 4);
  Put(line, 7, call.callerNumber, 11);
  return line;
}

// Newer layout: the arrow's '-' at 24 (LDK) or 23 (Digital Keyphone, whose trunk is
// one column narrower), after an 11-column number.
std::string LgNewerAnswered(MessageFormat format, const CallSpec& call) {
  const bool keyphone = format == MessageFormat::LgKeyphone;
  std::string line = BlankLine(31);
  line[0] = line[1] = '\x06';
  Put(line, 8, call.trunk, keyphone ? 3 : 4);
  Put(line, keyphone ? 11 : 12, call.callerNumber, 11);
  PutArrow(line, keyphone ? 23 : 24, call.extension);
  line.resize(line.find_last_not_of(' ') + 1);
  return line;
}

std::string LgEnded(const CallSpec& call) {
  std::string line = BlankLine(51);
  Put(line, 5, call.extension, 4);
  Put(line, 11, call.trunk, 4);
  Put(line, 33, call.time, 5);
  line[39] = 'I';
  Put(line, 40, call.callerNumber, 11);
  return line;
}

std::string LgLine(MessageFormat format, const CallSpec& call) {
  switch (call.kind) {
    case 'R':
      return LgRinging(call) + "\r\n";
    case 'T':
      return LgNewerAnswered(format, call) + "\r\n";
    default:
      return LgEnded(call) + "\r\n";
  }
}

// The report ends "End" CR LF: the framing cuts before "nd" CR, so the next report
// begins with "d\r\n", which the keyword search passes over.
std::string SeeIdPcReport(const CallSpec& call) {
  return "Call Report\r\n" + std::string(call.kind == 'T' ? "D" : "E") + "\r\nTime:" + text::ToExternal(call.time) +
         "\r\nNumber:" + text::ToExternal(call.callerNumber) + "\r\nGroup:" + text::ToExternal(call.trunk) +
         "\r\nEnd\r\n";
}

char LengthByte(size_t length) { return static_cast<char>(std::min<size_t>(length, 127)); }

// MCID: the line in two digits, the date and time in 8 columns, the number, 'T'.
std::string Mcid(const CallSpec& call) {
  auto trunk = text::ToExternal(call.trunk).substr(0, 2);
  std::string line(2 - trunk.size(), '0');
  line += trunk;
  line += BlankLine(8);
  Put(line, 2, call.time, 8);
  return line + text::ToExternal(call.callerNumber) + "T";
}

// SeeID-4: '[', the line, 'C', 'T', the time's length byte and text, 'N', the
// number's length byte and digits, ']'.
// The number is cut to 90 bytes, so that its length byte is never the closing ']'.
std::string SeeId4(const std::string& line, const CallSpec& call) {
  const auto time = text::ToExternal(call.time).substr(0, 11);
  const auto number = text::ToExternal(call.callerNumber).substr(0, 90);
  return "[" + line + "CT" + LengthByte(time.size()) + time + "N" + LengthByte(number.size()) + number + "]";
}

// CallStar: an incoming-call record 'I', the line, 8 columns of date and time and
// the number, between STX and ETX.
std::string CallStar(const std::string& line, const CallSpec& call) {
  std::string record = "I" + line + BlankLine(8);
  Put(record, 2, call.time, 8);
  return "\x02" + record + text::ToExternal(call.callerNumber) + "\x03";
}

// Speed 부르미: start code, the digits, end code, each plus the line's offset.
std::string SpeedBurumi(const std::string& line, const CallSpec& call) {
  if (line[0] < '1' || line[0] > '4') return {};
  const auto offset = static_cast<unsigned char>((line[0] - '1') * 0x40);
  std::string bytes(1, static_cast<char>(0x10 + offset));
  for (unsigned char digit : text::ToExternal(call.callerNumber)) bytes += static_cast<char>(digit + offset);
  bytes += static_cast<char>(0x1F + offset);
  return bytes;
}

// CID-1000 and CID-1000A: the line, STX and the number's length in two digits, the
// number, then ETX (CID-1000) or CR (CID-1000A).
std::string Cid1000(MessageFormat format, const std::string& line, const CallSpec& call) {
  const auto number = text::ToExternal(call.callerNumber).substr(0, 99);
  auto message = line + "\x02" + text::Format("%02zu", number.size()) + number;
  return message + (format == MessageFormat::Cid1000 ? "\x03" : "\r");
}

// Every box but the MCID and the SeeID-PC reports its line as one byte.
std::string CallerIdBox(MessageFormat format, const CallSpec& call) {
  if (format == MessageFormat::Mcid) return Mcid(call);
  if (format == MessageFormat::SeeIdPc) return SeeIdPcReport(call);
  const auto line = text::ToExternal(call.trunk);
  if (line.size() != 1) return {};
  switch (format) {
    case MessageFormat::SeeId4:
      return SeeId4(line, call);
    case MessageFormat::CallStar:
      return CallStar(line, call);
    case MessageFormat::SpeedBurumi:
      return SpeedBurumi(line, call);
    default:
      return Cid1000(format, line, call);
  }
}

}  // namespace

std::span<const uint32_t> FrameModelCodes() {
  static const std::vector<uint32_t> codes = [] {
    std::vector<uint32_t> all;
    for (const DeviceModel& model : DeviceModels())
      if (model.format != MessageFormat::None) all.push_back(model.code);
    return all;
  }();
  return codes;
}

std::string_view SupportedKinds(uint32_t modelCode) {
  const MessageFormat format = ModelOf(modelCode).format;
  switch (FamilyOf(format)) {
    case FormatFamily::Samsung:
      return "RTHN";
    case FormatFamily::Lg:
      return "RTH";
    case FormatFamily::CallerId:
      return format == MessageFormat::SeeIdPc ? "TH" : "T";
    case FormatFamily::Cti:
      return "T";
    case FormatFamily::None:
      break;
  }
  return {};
}

std::string BuildFrame(uint32_t modelCode, const CallSpec& call) {
  if (SupportedKinds(modelCode).find(call.kind) == std::string_view::npos) return {};
  const MessageFormat format = ModelOf(modelCode).format;
  switch (FamilyOf(format)) {
    case FormatFamily::Samsung:
      return SamsungLine(format, call);
    case FormatFamily::Lg:
      return LgLine(format, call);
    case FormatFamily::CallerId:
      return CallerIdBox(format, call);
    case FormatFamily::Cti:
      return text::ToExternal(call.extension) + "," + text::ToExternal(call.trunk) + "," +
             text::ToExternal(call.callerNumber);
    case FormatFamily::None:
      break;
  }
  return {};
}

// Older layout: an 11-column number at 8, then " -> " with the '-' at 20.
std::string BuildLgOlderAnswered(const CallSpec& call) {
  std::string line = BlankLine(27);
  line[0] = line[1] = '\x06';
  Put(line, 2, call.trunk, 4);
  Put(line, 8, call.callerNumber, 11);
  Put(line, 20, "->", 2);
  Put(line, 23, call.extension, 4);
  line.resize(line.find_last_not_of(' ') + 1);
  return line + "\r\n";
}

}  // namespace lindra::sim
