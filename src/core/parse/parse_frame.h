#pragma once
// ParseFrame turns one frame of a device into a call event, or rejects it. It is a
// pure function: no sockets, no locks, no logging of its own; the entries and the
// status line it returns are written by the channel, in order.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parse/call_event.h"
#include "text/codec.h"

namespace lindra {

struct ParseLogEntry {
  enum class Kind {
    Plain,   // device log "plain" entry (type 3)
    Error,   // device log ERROR entry: "DEV0n: ERROR" heading, then the text
    Level0,  // a line written straight to the program log at type 0, no heading
  };
  Kind kind;
  std::string text;  // UTF-8

  bool operator==(const ParseLogEntry&) const = default;
};

struct ParseOutcome {
  std::optional<CallEvent> event;  // set when the frame was accepted
  std::vector<ParseLogEntry> log;  // entries to write, in order (accepted or not)
  std::string statusLine;          // non-empty when a rejection is shown to the window
};

// frame: every byte the assembler delivered, a retained terminator (models 11 and 13)
// included; length: the count of bytes before the terminator, as the channel passes it.
// encoding: the code page of the frame's text. The fields of an accepted event hold
// no control bytes (below 0x20, and 0x7F): those of the frame are left out. Accepted
// events get their area code here, and only here: a caller number that does not
// begin with '0' (the empty one included) gets the slot's area code in front, when
// there is one.
ParseOutcome ParseFrame(std::string_view frame, size_t length, uint32_t modelCode, std::string_view areaCode,
                        const text::Encoding& encoding);

}  // namespace lindra
