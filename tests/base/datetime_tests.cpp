#include "UDateTime.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kal {
namespace {

void ExpectParts(TDateTime value, int y, int mo, int d, int h = 0, int mi = 0, int s = 0,
                 int ms = 0) {
    const TDateTimeParts p = DecodeDateTime(value);
    EXPECT_EQ(p.Year, y) << value;
    EXPECT_EQ(p.Month, mo) << value;
    EXPECT_EQ(p.Day, d) << value;
    EXPECT_EQ(p.Hour, h) << value;
    EXPECT_EQ(p.Minute, mi) << value;
    EXPECT_EQ(p.Second, s) << value;
    EXPECT_EQ(p.Millisecond, ms) << value;
}

TEST(DateTime, KnownValuesOfTheDayCount) {
    EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDateTime(1899, 12, 30, 12), 0.5);
    EXPECT_EQ(EncodeDateTime(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDateTime(2000, 1, 1), 36526.0);
    EXPECT_EQ(EncodeDateTime(1, 1, 1), -693593.0);
    EXPECT_EQ(EncodeDateTime(9999, 12, 31), 2958465.0);
    // Before the epoch the time of day counts away from zero.
    EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6), -1.25);
    ExpectParts(-1.25, 1899, 12, 29, 6);
    ExpectParts(0.5, 1899, 12, 30, 12);
}

TEST(DateTime, EncodeDecodeRoundTripsAcrossLeapYearsAndTheEpoch) {
    const int years[] = {1, 1600, 1800, 1899, 1900, 2000, 2023, 2024, 2100, 9999};
    for (int y : years)
        for (int m = 1; m <= 12; ++m)
            for (int d : {1, 28, DaysInMonth(y, m)}) {
                const TDateTime v = EncodeDateTime(y, m, d, 23, 59, 58, 999);
                ExpectParts(v, y, m, d, 23, 59, 58, 999);
            }
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_EQ(DaysInMonth(2024, 2), 29);
    EXPECT_EQ(DaysInMonth(1900, 2), 28);
    EXPECT_EQ(EncodeDateTime(2024, 3, 1) - EncodeDateTime(2024, 2, 28), 2.0);
    EXPECT_EQ(EncodeDateTime(1900, 3, 1) - EncodeDateTime(1900, 2, 28), 1.0);
}

TEST(DateTime, DecodeRoundsToTheMillisecondAndCarriesIntoTheNextDay) {
    ExpectParts(EncodeDateTime(2026, 12, 31, 23, 59, 59, 999) + 0.4 / MSecsPerDay, 2026, 12, 31, 23,
                59, 59, 999);
    ExpectParts(EncodeDateTime(2026, 12, 31) + 1 - 0.2 / MSecsPerDay, 2027, 1, 1);
}

TEST(DateTime, EncodeRejectsDatesOutsideTheCalendar) {
    EXPECT_THROW(EncodeDateTime(2023, 2, 29), std::invalid_argument);
    EXPECT_THROW(EncodeDateTime(2024, 13, 1), std::invalid_argument);
    EXPECT_THROW(EncodeDateTime(0, 1, 1), std::invalid_argument);
    EXPECT_THROW(EncodeDateTime(10000, 1, 1), std::invalid_argument);
    EXPECT_THROW(EncodeDateTime(2024, 1, 1, 24), std::invalid_argument);
    EXPECT_THROW(EncodeDateTime(2024, 1, 1, 0, 0, 0, 1000), std::invalid_argument);
}

TEST(DateTime, IncMonthClampsTheDayAndKeepsTheTime) {
    const TDateTime jan31 = EncodeDateTime(2026, 1, 31, 7, 15);
    ExpectParts(IncMonth(jan31, 1), 2026, 2, 28, 7, 15);
    ExpectParts(IncMonth(EncodeDateTime(2024, 1, 31, 7, 15), 1), 2024, 2, 29, 7, 15);
    ExpectParts(IncMonth(jan31, 3), 2026, 4, 30, 7, 15);
    ExpectParts(IncMonth(jan31, 12), 2027, 1, 31, 7, 15);
    ExpectParts(IncMonth(EncodeDateTime(2024, 2, 29), 12), 2025, 2, 28);
    ExpectParts(IncMonth(EncodeDateTime(2026, 11, 30, 23), 3), 2027, 2, 28, 23);
    ExpectParts(IncMonth(EncodeDateTime(2026, 3, 31), -1), 2026, 2, 28);
    // Across the epoch, where the encoding of the time of day flips.
    ExpectParts(IncMonth(EncodeDateTime(1899, 12, 29, 6), 1), 1900, 1, 29, 6);
    ExpectParts(IncMonth(EncodeDateTime(1900, 1, 29, 6), -1), 1899, 12, 29, 6);
}

TEST(DateTime, IncMonthBeforeTheFirstYearStaysWithinTwelveMonths) {
    // Outside the calendar, but the month must still be a real one: no table
    // is indexed with month 0 or less.
    const TDateTime first = EncodeDateTime(1, 1, 15);
    for (int months : {-1, -12, -13, -25}) {
        SCOPED_TRACE(months);
        const TDateTime earlier = IncMonth(first, months);
        EXPECT_LT(earlier, first);
        EXPECT_NEAR(first - earlier, months * -30.44, 3.0 + months * -0.01);
    }
}

TEST(DateTime, DayMonthYearStampUsesTheRegionalSeparators) {
    const std::string expected = std::string("05") + DateSeparator() + "03" + DateSeparator() +
                                 "26 08" + TimeSeparator() + "07";
    EXPECT_EQ(FormatDDMMYYhhmm(EncodeDateTime(2026, 3, 5, 8, 7, 59)), expected);
    const std::string shortDate = FormatShortDate(EncodeDateTime(2026, 3, 5));
    EXPECT_NE(shortDate.find('5'), std::string::npos) << shortDate;
    EXPECT_NE(shortDate.find('3'), std::string::npos) << shortDate;
    EXPECT_NE(shortDate.find("26"), std::string::npos) << shortDate;
}

} // namespace
} // namespace kal
