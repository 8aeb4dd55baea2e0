#include "log/log_date.h"

#include "text/strings.h"

namespace lindra {
namespace {

constexpr int kLogDayStartHour = 9;

int DaysInYear(int year) { return IsLeapYear(year) ? 366 : 365; }

int DayOfYear(int year, int month, int day) {
  int total = day;
  for (int m = 1; m < month; ++m) total += DaysInMonth(year, m);
  return total;
}

}  // namespace

CalendarDate ShiftDate(const LocalTime& now, int days) {
  int year = now.year;
  int dayOfYear = DayOfYear(now.year, now.month, now.day) + days;
  while (dayOfYear < 1) dayOfYear += DaysInYear(--year);
  while (dayOfYear > DaysInYear(year)) dayOfYear -= DaysInYear(year++);
  int month = 1;
  while (dayOfYear > DaysInMonth(year, month)) dayOfYear -= DaysInMonth(year, month++);
  return {year, month, dayOfYear};
}

std::string DateShift(const LocalTime& now, int days, bool longForm) {
  CalendarDate d = ShiftDate(now, days);
  return longForm ? text::Format("%04d%02d%02d", d.year, d.month, d.day)
                  : text::Format("%02d%02d%02d", d.year % 100, d.month, d.day);
}

std::string LogDate(const LocalTime& now) { return DateShift(now, now.hour < kLogDayStartHour ? -1 : 0, false); }

}  // namespace lindra
