#pragma once
// The message formats behind ParseFrame, one family per file. Each fills `event`
// (kind and fields, before the area-code step) and appends its log entries to
// `outcome`; a format that rejects the frame returns false and leaves the rejection
// texts in `outcome`.
#include <cstdint>
#include <string_view>

#include "model/device_model.h"
#include "parse/call_event.h"
#include "parse/field_reader.h"
#include "parse/parse_frame.h"

namespace lindra::parse {

// `format` is one of the family's formats.
bool ParseSamsung(const FrameBytes& frame, MessageFormat format, CallEvent& event, ParseOutcome& outcome);
bool ParseLg(const FrameBytes& frame, MessageFormat format, CallEvent& event, ParseOutcome& outcome);
// Only Speed 부르미 rejects (silently).
bool ParseCallerId(const FrameBytes& frame, size_t length, MessageFormat format, CallEvent& event);
void ParseCti(const FrameBytes& frame, CallEvent& event);

inline void SetKind(CallEvent& event, char kind) { event.kind.assign(1, kind); }

// A rejection shown to the window: the program-log entry, then the status line "[ERR] " + text.
void Reject(ParseOutcome& outcome, ParseLogEntry::Kind kind, std::string text);

}  // namespace lindra::parse
