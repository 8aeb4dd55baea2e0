#pragma once
// Dates that name log files and statistics days.
#include <string>

#include "platform/clock.h"

namespace lindra {

struct CalendarDate {
  int year = 1970;
  int month = 1;
  int day = 1;

  bool operator==(const CalendarDate&) const = default;
};

// The calendar date of `now` moved by `days` whole days (either direction).
CalendarDate ShiftDate(const LocalTime& now, int days);

// The date shift: "%02d%02d%02d" (two-digit year) or, with `longForm`, "%04d%02d%02d".
std::string DateShift(const LocalTime& now, int days, bool longForm);

// The six-digit date of the log day of `now`: a log day runs from 09:00 to 08:59 of
// the next calendar day, so before 09:00 it is yesterday's date.
std::string LogDate(const LocalTime& now);

}  // namespace lindra
