#pragma once
// The device models the server knows, one row per model code (DEV_NAME) holding every
// fact that differs between models: the name the device list shows, the link the code
// selects, the message format, how the byte stream is cut into frames, the idle poll,
// the DID merge, and the model's entry and usual speed in the setup dialog. The
// framing, the parser, the channel, the router, the dialog and the simulators all read
// these rows; none of them tells models apart by their numbers.
//
// Data only: this area depends on nothing, so that every layer, the parser included,
// can read it.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lindra {

enum class LinkKind { None, Serial, Lan, Cti };

// The layout of a model's messages; the parser dispatches on it.
enum class MessageFormat {
  None,               // frames are rejected
  SamsungDcs828,      // caller number at 94
  SamsungDcs500,      // trunk at 46, or at 14 when 46 holds no number
  SamsungPri,         // a second number at 46, a four-digit one redirects the call
  SamsungOfficeServ,  // as SamsungPri, and a three-digit second number redirects too
  LgLdk,
  LgKeyphone,  // a three-column trunk in the newer answered layout
  Mcid,
  SeeIdPc,
  SeeId4,
  CallStar,
  SpeedBurumi,
  Cid1000,
  Cid1000A,
  Cti,
};

enum class FormatFamily { None, Samsung, Lg, CallerId, Cti };

constexpr FormatFamily FamilyOf(MessageFormat format) {
  switch (format) {
    case MessageFormat::SamsungDcs828:
    case MessageFormat::SamsungDcs500:
    case MessageFormat::SamsungPri:
    case MessageFormat::SamsungOfficeServ:
      return FormatFamily::Samsung;
    case MessageFormat::LgLdk:
    case MessageFormat::LgKeyphone:
      return FormatFamily::Lg;
    case MessageFormat::Mcid:
    case MessageFormat::SeeIdPc:
    case MessageFormat::SeeId4:
    case MessageFormat::CallStar:
    case MessageFormat::SpeedBurumi:
    case MessageFormat::Cid1000:
    case MessageFormat::Cid1000A:
      return FormatFamily::CallerId;
    case MessageFormat::Cti:
      return FormatFamily::Cti;
    case MessageFormat::None:
      break;
  }
  return FormatFamily::None;
}

// The links a framing rule holds on.
struct LinkSet {
  bool serial = false;
  bool lan = false;

  constexpr bool Has(LinkKind link) const {
    return (link == LinkKind::Serial && serial) || (link == LinkKind::Lan && lan);
  }
};
inline constexpr LinkSet kOnSerial{true, false};
inline constexpr LinkSet kOnLan{false, true};
inline constexpr LinkSet kOnBoth{true, true};

// How a frame ends on a serial line; every other link ends frames at terminators.
enum class SerialEnd {
  Terminator,     // at a terminator byte
  EndKeyword,     // before "nd" CR, once at least one byte has come after it
  ChunkEnd,       // at a terminator, and where a read ends: the read is the message
  ChunkLastByte,  // at the byte before a zero byte, so at the last byte of every read
};

// Up to four terminator bytes and an optional start marker. A zero terminator matches
// a zero byte in the data.
struct FrameRule {
  std::array<unsigned char, 4> terminators{};
  int endingTerminators = 2;       // how many of them end a frame by themselves
  std::string_view startMarker{};  // "  1", or empty: every frame may be parsed
  bool restartsAtMarker = false;   // a marker drops what was gathered before it
  LinkSet pairSkip{};              // T1 followed by T2 ends one frame only
  LinkSet retainsTerminator{};     // the terminator byte stays in the frame as its last byte
  SerialEnd serialEnd = SerialEnd::Terminator;

  // The serial line's reads, not terminators, delimit the messages: a read must not
  // be cut short, so the line waits for a quiet gap before it hands bytes on.
  constexpr bool ChunkFramed() const {
    return serialEnd == SerialEnd::ChunkEnd || serialEnd == SerialEnd::ChunkLastByte;
  }
};

struct DeviceModel {
  uint32_t code = 0;
  std::string_view displayName{};  // UTF-8, shown after "DEV0n: "
  LinkKind link = LinkKind::None;
  MessageFormat format = MessageFormat::None;
  FrameRule frame{};
  bool pollsWhenIdle = false;  // the box answers only a "Z" sent while the line is idle
  // The frame's second number replaces as many trailing digits of the routed DID
  // number: the exchange reports the dialled number's last digits there.
  bool mergesSecondNumber = false;
  int defaultBaudRate = 0;       // the speed the setup dialog proposes for a serial model
  int setupEntry = 0;            // the model's index in the setup dialog's list of 23 entries
  std::string_view setupText{};  // the model's text in that list

  constexpr FormatFamily family() const { return FamilyOf(format); }
};

// Every model, in code order (code 0 is not a model).
std::span<const DeviceModel> DeviceModels();

// The table row of a code, or nullptr for a code that names no model.
const DeviceModel* FindDeviceModel(uint32_t code);

// Link kind by code range alone: 2..100 serial, 102..200 LAN, 202 and above CTI.
// 0 and the gaps 1, 101, 201 open nothing.
LinkKind LinkKindOf(uint32_t code);

// The facts of any code: its row, or for a code the table does not hold, the link of
// its range with no format, the plain zero-byte framing and no other rule.
DeviceModel ModelOf(uint32_t code);

// The device list entry of a slot: "DEV0n: " + display name; the dashes for an
// empty slot (code 0); the code itself in place of the name for a code the table
// does not hold.
std::string DeviceListText(int slotNo, uint32_t code);

}  // namespace lindra
