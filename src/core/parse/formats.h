#pragma once
// The message formats behind ParseFrame, one family per file. Each fills `event`
// (kind and fields, before the area-code step) and appends its log entries to
// `outcome`; a format that rejects the frame returns false and leaves the rejection
// texts in `outcome`.
#include <cstdint>
#include <string_view>

#include "parse/call_event.h"
#include "parse/field_reader.h"
#include "parse/parse_frame.h"

namespace lindra::parse {

// Models 2, 3, 4, 102, 103, 104, 106, 107.
bool ParseSamsung(const FrameBytes& frame, uint32_t modelCode, CallEvent& event, ParseOutcome& outcome);
// Models 5, 6, 105.
bool ParseLg(const FrameBytes& frame, uint32_t modelCode, CallEvent& event, ParseOutcome& outcome);
// Models 7 to 13; only model 11 rejects (silently).
bool ParseCallerId(const FrameBytes& frame, size_t length, uint32_t modelCode, CallEvent& event);
// Model 202.
void ParseCti(const FrameBytes& frame, CallEvent& event);

inline void SetKind(CallEvent& event, char kind) { event.kind.assign(1, kind); }

// A rejection shown to the window: the program-log entry, then the status line "[ERR] " + text.
void Reject(ParseOutcome& outcome, ParseLogEntry::Kind kind, std::string text);

}  // namespace lindra::parse
