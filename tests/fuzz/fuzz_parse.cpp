// One parser fuzz target per format family (chosen at build time), plus one over
// every model code. Beyond the sanitizers' own checks, every accepted event must
// keep its fields within the parser's areas and free of control bytes, and a
// rejection must say why.
#include <algorithm>
#include <cstdlib>

#include "parse/parse_frame.h"
#include "parse_fuzz_input.h"
#include "text/strings.h"

namespace {

#if defined(LINDRA_FUZZ_FAMILY_samsung)
constexpr std::span<const uint32_t> kModels = lindra::fuzz::kSamsungModels;
#elif defined(LINDRA_FUZZ_FAMILY_lg)
constexpr std::span<const uint32_t> kModels = lindra::fuzz::kLgModels;
#elif defined(LINDRA_FUZZ_FAMILY_callerid)
constexpr std::span<const uint32_t> kModels = lindra::fuzz::kCallerIdModels;
#elif defined(LINDRA_FUZZ_FAMILY_cti)
constexpr std::span<const uint32_t> kModels = lindra::fuzz::kCtiModels;
#else
constexpr std::span<const uint32_t> kModels = lindra::fuzz::kAnyModels;
#endif

// Characters, not bytes: an undecodable byte widens to one replacement character.
size_t Chars(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

void Require(bool condition) {
  if (!condition) std::abort();
}

bool HasControl(const std::string& s) { return std::any_of(s.begin(), s.end(), lindra::text::IsControl); }

void Check(const lindra::ParseOutcome& outcome) {
  if (!outcome.event) {
    // Only model 11 rejects silently.
    Require(outcome.statusLine.empty() == outcome.log.empty());
    return;
  }
  const auto& e = *outcome.event;
  Require(e.kind.size() == 1 && std::string_view("RTHN").find(e.kind[0]) != std::string_view::npos);
  Require(Chars(e.callerNumber) <= lindra::kCallerNumberCapacity);
  Require(Chars(e.trunk) <= lindra::kTrunkCapacity);
  Require(Chars(e.didNumber) <= lindra::kDidNumberCapacity);
  Require(Chars(e.extension) <= lindra::kExtensionCapacity);
  Require(Chars(e.receivedTime) <= lindra::kReceivedTimeCapacity);
  for (const std::string* field : {&e.callerNumber, &e.trunk, &e.didNumber, &e.extension, &e.receivedTime}) {
    Require(!HasControl(*field));
  }
  Require(e.agentIps.empty() && outcome.statusLine.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < lindra::fuzz::kHeaderBytes) return 0;
  const uint32_t model = kModels[data[0] % kModels.size()];
  const size_t length = data[1] | (static_cast<size_t>(data[2]) << 8);
  // libFuzzer's buffer ends exactly at the frame's last byte, so AddressSanitizer
  // sees any read past it.
  const std::string_view frame(reinterpret_cast<const char*>(data) + lindra::fuzz::kHeaderBytes,
                               size - lindra::fuzz::kHeaderBytes);
  Check(lindra::ParseFrame(frame, length, model, "", lindra::text::EdgeEncoding()));
  return 0;
}
