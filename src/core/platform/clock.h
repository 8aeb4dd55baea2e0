#pragma once
// Local wall-clock time and a steady millisecond count behind one small interface,
// so that log days, the upload minute and probe intervals can be driven by tests.
#include <chrono>
#include <cstdint>

namespace lindra {

struct LocalTime {
  int year = 1970;  // four digits
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  bool operator==(const LocalTime&) const = default;
};

// Called from any thread; implementations are immutable or internally synchronised.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
  // The time on a monotonic clock (the tick count), from an arbitrary start.
  virtual std::chrono::milliseconds Steady() const = 0;
};

class SystemClock final : public Clock {
 public:
  LocalTime Now() const override;
  std::chrono::milliseconds Steady() const override;
  static const SystemClock& Instance();
};

// Days in the month of the Gregorian calendar.
int DaysInMonth(int year, int month);
bool IsLeapYear(int year);

}  // namespace lindra
