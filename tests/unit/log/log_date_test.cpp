#include "log/log_date.h"

#include <gtest/gtest.h>

namespace lindra {
namespace {

LocalTime At(int y, int mo, int d, int h, int mi = 0, int s = 0) { return {y, mo, d, h, mi, s, 0}; }

TEST(LogDateTest, LogDayStartsAtNine) {
  struct Case {
    LocalTime now;
    const char* date;
  } cases[] = {
      {At(2026, 3, 14, 8, 59, 59), "260313"},  {At(2026, 3, 14, 9, 0, 0), "260314"},
      {At(2026, 3, 14, 23, 59, 59), "260314"}, {At(2026, 3, 15, 0, 0, 0), "260314"},
      {At(2026, 3, 1, 8, 0), "260228"},                                            // first of a month
      {At(2024, 3, 1, 8, 0), "240229"},                                            // ... in a leap year
      {At(2000, 3, 1, 8, 0), "000229"},                                            // divisible by 400: leap
      {At(2100, 3, 1, 8, 0), "000228"},                                            // divisible by 100 only: not leap
      {At(2026, 5, 1, 8, 0), "260430"},        {At(2026, 1, 1, 8, 59), "251231"},  // first of January
      {At(2025, 1, 1, 0, 0), "241231"},                                            // ... after a leap year
      {At(2009, 1, 1, 9, 0), "090101"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(LogDate(c.now), c.date) << c.now.year << "-" << c.now.month << "-" << c.now.day << " " << c.now.hour;
}

TEST(DateShiftTest, ShortAndLongFormsAcrossMonthsAndYears) {
  struct Case {
    LocalTime now;
    int days;
    bool longForm;
    const char* out;
  } cases[] = {
      {At(2026, 3, 14, 8), 0, false, "260314"},  // the calendar date, whatever the hour
      {At(2026, 3, 14, 8), 0, true, "20260314"},    {At(2026, 3, 14, 12), -1, true, "20260313"},
      {At(2026, 3, 14, 12), -7, false, "260307"},   {At(2026, 1, 3, 12), -7, true, "20251227"},
      {At(2024, 3, 1, 12), -1, true, "20240229"},   {At(2023, 3, 1, 12), -1, true, "20230228"},
      {At(2025, 1, 6, 12), -7, true, "20241230"},   {At(2024, 12, 31, 12), -365, true, "20240101"},
      {At(2025, 1, 1, 12), -366, true, "20240101"},  // 2024 had 366 days
      {At(2025, 1, 1, 12), -367, true, "20231231"}, {At(2024, 12, 31, 12), 1, true, "20250101"},
      {At(2024, 2, 28, 12), 1, true, "20240229"},
  };
  for (const auto& c : cases) EXPECT_EQ(DateShift(c.now, c.days, c.longForm), c.out) << c.days << " " << c.out;
}

}  // namespace
}  // namespace lindra
