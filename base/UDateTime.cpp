#include "UDateTime.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace kal {

namespace {
// Days from 0001-01-01 (day 1) to 1899-12-30, as the Gregorian count gives them.
constexpr long long DateDelta = 693594;

long long DaysFromCivil(int y, int m, int d) {
    // Proleptic Gregorian day number with 0001-01-01 as day 1.
    long long yy = y - 1;
    long long days = yy * 365 + yy / 4 - yy / 100 + yy / 400;
    static const int before[2][13] = {{0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
                                      {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};
    days += before[IsLeapYear(y) ? 1 : 0][m] + d;
    return days;
}

void CivilFromDays(long long n, int& y, int& m, int& d) {
    // n: day number with 0001-01-01 as day 1.
    long long days = n - 1;
    long long y400 = days / 146097;
    days %= 146097;
    long long y100 = days / 36524;
    if (y100 == 4)
        y100 = 3;
    days -= y100 * 36524;
    long long y4 = days / 1461;
    days %= 1461;
    long long y1 = days / 365;
    if (y1 == 4)
        y1 = 3;
    days -= y1 * 365;
    y = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
    m = 1;
    while (days >= DaysInMonth(y, m)) {
        days -= DaysInMonth(y, m);
        ++m;
    }
    d = static_cast<int>(days) + 1;
}
} // namespace

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int days[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && IsLeapYear(year))
        return 29;
    return days[month];
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59 || millisecond < 0 || millisecond > 999)
        throw std::invalid_argument("Invalid argument to date encode");
    const double date = static_cast<double>(DaysFromCivil(year, month, day) - DateDelta);
    const double time =
        (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / MSecsPerDay;
    // Before 1899-12-30 the time of day counts away from zero, as the date unit defines.
    return date < 0 ? date - time : date + time;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
    TDateTimeParts p;
    if (!std::isfinite(value) || std::fabs(value) > 3e6)
        return p;
    double whole = std::trunc(value);
    long long ms = std::llround(std::fabs(value - whole) * MSecsPerDay);
    if (ms >= static_cast<long long>(MSecsPerDay)) {
        ms -= static_cast<long long>(MSecsPerDay);
        whole += value < 0 ? -1 : 1;
    }
    CivilFromDays(static_cast<long long>(whole) + DateDelta, p.Year, p.Month, p.Day);
    p.Hour = static_cast<int>(ms / 3600000);
    p.Minute = static_cast<int>(ms / 60000 % 60);
    p.Second = static_cast<int>(ms / 1000 % 60);
    p.Millisecond = static_cast<int>(ms % 1000);
    return p;
}

TDateTime IncMonth(TDateTime value, int months) {
    const TDateTimeParts p = DecodeDateTime(value);
    // Floor division: months before year 1 must still give a month of 1 to 12.
    const long long total = p.Year * 12LL + (p.Month - 1) + months;
    const long long years = total >= 0 ? total / 12 : -((-total + 11) / 12);
    const int year = static_cast<int>(years);
    const int month = static_cast<int>(total - years * 12) + 1;
    int day = p.Day;
    if (day > DaysInMonth(year, month))
        day = DaysInMonth(year, month);
    const double date = static_cast<double>(DaysFromCivil(year, month, day) - DateDelta);
    const double time = std::fabs(value - std::trunc(value));
    return date < 0 ? date - time : date + time;
}

std::string FormatDDMMYYhhmm(TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%c%02d%c%02d %02d%c%02d", p.Day, DateSeparator(), p.Month,
                  DateSeparator(), p.Year % 100, p.Hour, TimeSeparator(), p.Minute);
    return buf;
}

} // namespace kal
