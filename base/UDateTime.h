// The date-time value used everywhere: days since 30 December 1899 00:00 local
// time as a double, the fraction being the time of day.
#pragma once

#include <string>

namespace kal {

using TDateTime = double;

struct TDateTimeParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

constexpr double HoursPerDay = 24.0;
constexpr double MSecsPerDay = 24.0 * 60 * 60 * 1000;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Raises std::invalid_argument for a date or time outside the calendar.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
// The calendar fields, rounded to the millisecond.
TDateTimeParts DecodeDateTime(TDateTime value);

// Whole calendar months later, the day cut to the end of a shorter month, the time kept.
TDateTime IncMonth(TDateTime value, int months);

// The local clock, millisecond resolution.
TDateTime Now();

// The user's regional date and time separators ('/' and ':' where none are set).
char DateSeparator();
char TimeSeparator();

// "DD/MM/YY hh:mm" with the regional separators standing for '/' and ':'.
std::string FormatDDMMYYhhmm(TDateTime value);
// The date in the user's regional short date format.
std::string FormatShortDate(TDateTime value);

} // namespace kal
