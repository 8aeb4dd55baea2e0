#pragma once
// The exact bytes each supported device model sends for one call, terminators
// included, so that the simulators, the tests and the fuzz corpora all speak the
// devices' own framing. Field texts are UTF-8 and leave in the edge code page.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lindra::sim {

struct CallSpec {
  char kind = 'T';           // 'R', 'T', 'H' or 'N'; see SupportedKinds()
  std::string trunk;         // trunk line; caller-ID boxes: the line, two digits for MCID, one
                             // character for the others ("1".."4" for Speed 부르미)
  std::string extension;     // exchanges only; caller-ID boxes report the line instead
  std::string callerNumber;  // the caller's number (digits)
  std::string time;          // the time text of the models that print one (see BuildFrame)
  std::string didNumber;     // Samsung models 4, 104, 106, 107: the second number at column 46
};

// Every model code that has a message format, in the order of the device list.
std::span<const uint32_t> FrameModelCodes();

// The kinds a model can send, among "RTHN": Samsung "RTHN", LG "RTH", SeeID-PC "TH",
// the other caller-ID boxes and the CTI link "T". Empty for a code without a format.
std::string_view SupportedKinds(uint32_t modelCode);

// One call as the device sends it; empty when the model has no format, cannot send
// call.kind, or (models 9 to 13) call.trunk is not a line the box can report. Fields wider than the device's column are
// cut to it, shorter ones padded with blanks where the device pads.
//   2..4, 102..107 Samsung: one fixed-column line ending in CR alone (an LF after it
//                  would start the next frame and shift every column). time: 8 columns.
//   5, 6, 105      LG: one line ending in CR LF; answered calls in the newer layout
//                  ("LDK50 NEW" / "LG Digital Keyphone"). time: 5 columns (ended lines).
//   7   MCID:      line (2 columns), 8 columns of time, the number, then 'T'.
//   8   SeeID-PC:  a report ending "End\r\n"; kind 'T' is report type D, 'H' type E.
//   9   SeeID-4:   '[' line 'C' ... ']' with binary length bytes for time and number.
//   10  CallStar:  0x02, 'I', line, 8 columns of time, the number, 0x03.
//   11  Speed 부르미: start code, digits, end code, every byte offset by the line.
//   12  CID-1000:  line, 0x02, two-digit number length, the number, 0x03; the message
//                  is the read chunk (some boxes add a zero byte, see lindra-sim serial).
//   13  CID-1000A: line, 0x02, two-digit number length, the number, CR.
//   202 CTI:       "extension,trunk,callerNumber" (one message per connection).
std::string BuildFrame(uint32_t modelCode, const CallSpec& call);

// An answered line of the LG models (5, 6, 105) in the older column layout
// ("LDK50 OLD"), CR LF included; BuildFrame sends the newer one.
std::string BuildLgOlderAnswered(const CallSpec& call);

}  // namespace lindra::sim
