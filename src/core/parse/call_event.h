#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace lindra {

// One call event as it travels from the parser through routing to the senders.
// Texts are UTF-8; the parser takes them from the frame's code-page bytes.
struct CallEvent {
  std::string kind;          // "R" ringing, "T" answered / caller-ID call, "H" ended, "N" other
  std::string callerNumber;  // at most 15 characters from the parser
  std::string trunk;         // at most 11
  std::string didNumber;     // at most 15; routing puts the DID number here
  std::string extension;     // at most 7
  std::vector<std::string> agentIps;  // filled by routing
  std::string receivedTime;  // at most 11; the time text some frames carry
  uint64_t callId = 0;       // given when the server takes the call; what is said of it later names it

  bool operator==(const CallEvent&) const = default;
};

// Capacities of the parser's output areas, terminator excluded.
inline constexpr size_t kCallerNumberCapacity = 15;
inline constexpr size_t kTrunkCapacity = 11;
inline constexpr size_t kDidNumberCapacity = 15;
inline constexpr size_t kExtensionCapacity = 7;
inline constexpr size_t kReceivedTimeCapacity = 11;

}  // namespace lindra
