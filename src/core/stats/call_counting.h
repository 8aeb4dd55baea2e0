#pragma once
// Counting the calls of one slot's telephone log for the daily statistics.
#include <string>
#include <string_view>

namespace lindra {

struct SlotCounts {
  int total = 0;   // calls, a repeat of the same extension within a second counted once
  int brenvo = 0;  // calls delivered to an operator on a DID other than the branch's DID2
};

// Feeds the trimmed lines of one slot's log in order. Only lines holding " T " (a call
// of kind T) count; the others pass without effect.
class CallCounter {
 public:
  explicit CallCounter(std::string did2) : did2_(std::move(did2)) {}
  void Add(std::string_view line);
  const SlotCounts& counts() const { return counts_; }

 private:
  std::string did2_;
  SlotCounts counts_;
  int previousSecond_ = 0;
  std::string previousExtension_;
};

// Appends every non-blank line of a slot's log text, trimmed and followed by CR LF, to
// `summary`, then the slot's two count lines; returns the slot's counts.
SlotCounts CollectSlotLog(std::string_view logText, int slotNo, const std::string& did2, std::string& summary);

}  // namespace lindra
