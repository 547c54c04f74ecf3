#include "schedule_testing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <limits>

namespace kal {
namespace {

using test::Stamp;
using test::TCountingEvent;

std::vector<std::uint8_t> Record(const TEvent& event) {
    TMemoryStream stream;
    event.SaveToStream(stream);
    return stream.Bytes();
}

TEST(EventRecord, HomeWeeklyMatchesTheStoredLayoutAndReadsBack) {
    TCountingEvent home(nullptr, 0.5, "Home");
    home.SetEventRepeat(erWeekly);
    const std::vector<std::uint8_t> expected = {0x04, 0x00, 0x00, 0x00, 0x48, 0x6F,
                                                0x6D, 0x65, 0x00, 0x00, 0x00, 0x00,
                                                0x00, 0x00, 0xE0, 0x3F, 0x01, 0x03};
    EXPECT_EQ(Record(home), expected);

    TCountingEvent copy(nullptr, 99, "other");
    copy.SetActive(false);
    TMemoryStream in(expected);
    copy.LoadFromStream(in);
    EXPECT_EQ(in.Position(), expected.size());
    EXPECT_EQ(copy.Name(), "Home");
    EXPECT_EQ(copy.DateTime(), 0.5);
    EXPECT_TRUE(copy.Active());
    EXPECT_EQ(copy.EventRepeat(), erWeekly);
}

TEST(EventRecord, EmptyNameInactiveAndFollowingDataStayApart) {
    TCountingEvent event(nullptr, 46000.25, "");
    event.SetActive(false);
    event.SetEventRepeat(erYearly);
    TMemoryStream stream;
    event.SaveToStream(stream);
    WriteUInt32(stream, 0xDEADBEEF); // whatever the enclosing record stores next
    ASSERT_EQ(stream.Size(), 14u + 4u);

    TCountingEvent back(nullptr, 0, "x");
    stream.SetPosition(0);
    back.LoadFromStream(stream);
    EXPECT_EQ(back.Name(), "");
    EXPECT_EQ(back.DateTime(), 46000.25);
    EXPECT_FALSE(back.Active());
    EXPECT_EQ(back.EventRepeat(), erYearly);
    EXPECT_EQ(ReadUInt32(stream), 0xDEADBEEFu);
}

TEST(EventRecord, DamagedRecordsRaiseReadErrorAndLeaveTheEventAlone) {
    const std::vector<std::uint8_t> good = {0x04, 0x00, 0x00, 0x00, 0x48, 0x6F, 0x6D, 0x65, 0x00,
                                            0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x3F, 0x01, 0x03};
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"empty stream", {}},
        {"cut inside the length", {0x04, 0x00}},
        {"cut inside the name", {good.begin(), good.begin() + 6}},
        {"cut inside the due time", {good.begin(), good.begin() + 12}},
        {"missing repeat kind", {good.begin(), good.end() - 1}},
        {"negative length", {0xFF, 0xFF, 0xFF, 0xFF, 0x41}},
        {"absurd length", {0xFF, 0xFF, 0xFF, 0x7F, 0x41, 0x42, 0x43}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TCountingEvent event(nullptr, 123.5, "Keep");
        TMemoryStream stream(c.bytes);
        EXPECT_THROW(event.LoadFromStream(stream), EReadError);
        EXPECT_EQ(event.Name(), "Keep");
        EXPECT_EQ(event.DateTime(), 123.5);
        EXPECT_TRUE(event.Active());
        EXPECT_EQ(event.EventRepeat(), erNone);
    }
}

TEST(EventRecord, OutOfRangeRepeatKindIsKeptForTheFileButNeverLoops) {
    std::vector<std::uint8_t> bytes = {0x00, 0x00, 0x00, 0x00, 0,    0,    0,
                                       0,    0,    0,    0xE0, 0x3F, 0x01, 200};
    TCountingEvent event(nullptr, 0, "");
    TMemoryStream in(bytes);
    event.LoadFromStream(in);
    EXPECT_EQ(static_cast<int>(event.EventRepeat()), 200);
    EXPECT_EQ(Record(event), bytes);

    event.SkipNext(EncodeDateTime(2026, 1, 1));
    EXPECT_FALSE(event.Active());
    EXPECT_EQ(event.DateTime(), 0.5);
}

TEST(EventRecord, FileFormsRoundTripAndReportMissingFiles) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kal_event_" +
                      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "event.bin").string();

    TCountingEvent out(nullptr, 45000.75, "Photos");
    out.SetEventRepeat(erMonthly);
    out.SaveToFile(file);
    out.SetName("Replaced");
    out.SaveToFile(file); // replaces, does not append
    EXPECT_EQ(std::filesystem::file_size(file), 14u + 8u);

    TCountingEvent in(nullptr, 0, "");
    in.LoadFromFile(file);
    EXPECT_EQ(in.Name(), "Replaced");
    EXPECT_EQ(in.DateTime(), 45000.75);
    EXPECT_EQ(in.EventRepeat(), erMonthly);

    EXPECT_THROW(in.LoadFromFile((dir / "missing.bin").string()), EFOpenError);
    EXPECT_THROW(out.SaveToFile((dir / "no-such-dir" / "x.bin").string()), EFOpenError);
    std::filesystem::remove_all(dir);
}

// ---- recurrence -------------------------------------------------------------

struct Recurrence {
    TEventRepeat repeat;
    TDateTime due;
    TDateTime now;
};

std::string Next(const Recurrence& r) {
    TCountingEvent event(nullptr, r.due, "e");
    event.SetEventRepeat(r.repeat);
    event.SkipNext(r.now);
    EXPECT_TRUE(event.Active());
    return Stamp(event.DateTime());
}

TEST(EventRecurrence, CatchesUpToTheFirstOccurrenceNotBeforeNow) {
    // Daily 08:00 three days ago, triggered at 10:00: tomorrow 08:00.
    EXPECT_EQ(Next({erDaily, EncodeDateTime(2026, 3, 5, 8), EncodeDateTime(2026, 3, 8, 10)}),
              "2026-03-09 08:00:00.000");
    // Hourly 09:30 triggered at 19:45: eleven hours on.
    EXPECT_EQ(
        Next({erHourly, EncodeDateTime(2026, 3, 8, 9, 30), EncodeDateTime(2026, 3, 8, 19, 45)}),
        "2026-03-08 20:30:00.000");
    // Hourly across midnight and a month end.
    EXPECT_EQ(
        Next({erHourly, EncodeDateTime(2026, 1, 31, 23, 15), EncodeDateTime(2026, 2, 1, 0, 16)}),
        "2026-02-01 01:15:00.000");
    EXPECT_EQ(Next({erWeekly, EncodeDateTime(2026, 1, 1, 6), EncodeDateTime(2026, 1, 20, 6)}),
              "2026-01-22 06:00:00.000");
    EXPECT_EQ(Next({erFortnightly, EncodeDateTime(2026, 1, 1, 6), EncodeDateTime(2026, 1, 20, 6)}),
              "2026-01-29 06:00:00.000");
    EXPECT_EQ(Next({erQuaterly, EncodeDateTime(2025, 11, 30, 22), EncodeDateTime(2026, 3, 1)}),
              "2026-05-28 22:00:00.000"); // 30 Nov -> 28 Feb (cut) -> 28 May
}

TEST(EventRecurrence, MonthEndsAreCutAndStayCut) {
    EXPECT_EQ(Next({erMonthly, EncodeDateTime(2026, 1, 31, 7), EncodeDateTime(2026, 2, 1)}),
              "2026-02-28 07:00:00.000");
    EXPECT_EQ(Next({erMonthly, EncodeDateTime(2028, 1, 31, 7), EncodeDateTime(2028, 2, 1)}),
              "2028-02-29 07:00:00.000");

    TCountingEvent event(nullptr, EncodeDateTime(2026, 1, 31, 7), "m");
    event.SetEventRepeat(erMonthly);
    event.SkipNext(EncodeDateTime(2026, 2, 1));
    event.SkipNext(EncodeDateTime(2026, 3, 1));
    EXPECT_EQ(Stamp(event.DateTime()), "2026-03-28 07:00:00.000");

    EXPECT_EQ(Next({erYearly, EncodeDateTime(2024, 2, 29, 12), EncodeDateTime(2024, 3, 1)}),
              "2025-02-28 12:00:00.000");
}

TEST(EventRecurrence, LongGapsCatchUpInOneCall) {
    // Years of missed hourly and monthly runs still land on the right occurrence.
    EXPECT_EQ(
        Next({erHourly, EncodeDateTime(1990, 1, 1, 0, 20), EncodeDateTime(2026, 6, 15, 13, 5)}),
        "2026-06-15 13:20:00.000");
    EXPECT_EQ(Next({erDaily, EncodeDateTime(1900, 1, 1, 23, 59),
                    EncodeDateTime(2026, 6, 15, 23, 59, 30)}),
              "2026-06-16 23:59:00.000");
    EXPECT_EQ(
        Next({erMonthly, EncodeDateTime(1950, 5, 15, 9), EncodeDateTime(2026, 6, 15, 9, 0, 1)}),
        "2026-07-15 09:00:00.000");
}

TEST(EventRecurrence, DueNowOrLaterIsNotAdvanced) {
    const TDateTime now = EncodeDateTime(2026, 4, 1, 12);
    EXPECT_EQ(Next({erDaily, now, now}), Stamp(now));
    EXPECT_EQ(Next({erMonthly, now, now}), Stamp(now));
    EXPECT_EQ(Next({erHourly, now + 1, now}), Stamp(now + 1));
}

TEST(EventRecurrence, WholePeriodsBeforeNowLandExactlyOnNow) {
    // Missed runs that add up to exactly "now" must not overshoot by a period.
    for (int minute : {0, 1, 7, 30, 59}) {
        const TDateTime now = EncodeDateTime(2026, 4, 1, 12, minute);
        SCOPED_TRACE(Stamp(now));
        EXPECT_EQ(Next({erHourly, EncodeDateTime(2026, 3, 31, 1, minute), now}), Stamp(now));
        EXPECT_EQ(Next({erHourly, EncodeDateTime(2020, 1, 1, 0, minute), now}), Stamp(now));
        EXPECT_EQ(Next({erDaily, EncodeDateTime(2026, 3, 2, 12, minute), now}), Stamp(now));
        EXPECT_EQ(Next({erWeekly, EncodeDateTime(2026, 2, 18, 12, minute), now}), Stamp(now));
        EXPECT_EQ(Next({erFortnightly, EncodeDateTime(2025, 4, 16, 12, minute), now}), Stamp(now));
        EXPECT_EQ(Next({erMonthly, EncodeDateTime(2025, 1, 1, 12, minute), now}), Stamp(now));
    }
}

TEST(EventRecurrence, OneShotGoesInactiveWithItsTimeUnchanged) {
    const TDateTime due = EncodeDateTime(2026, 4, 1, 12);
    TCountingEvent event(nullptr, due, "once");
    event.SkipNext(due + 3);
    EXPECT_FALSE(event.Active());
    EXPECT_EQ(event.DateTime(), due);
}

TEST(EventRecurrence, DamagedDueTimesMakeTheEventInactiveInsteadOfLooping) {
    for (const TDateTime due : {std::numeric_limits<double>::quiet_NaN(),
                                -std::numeric_limits<double>::infinity(), -1e300, 1e300}) {
        SCOPED_TRACE(due);
        for (const TEventRepeat repeat : {erHourly, erMonthly}) {
            TCountingEvent event(nullptr, due, "bad");
            event.SetEventRepeat(repeat);
            event.SkipNext(EncodeDateTime(2026, 1, 1));
            EXPECT_FALSE(event.Active());
        }
    }
}

TEST(EventTrigger, FiresWithTheOldDueTimeThenAdvances) {
    const TDateTime due = EncodeDateTime(2020, 1, 1, 8);
    TCountingEvent event(nullptr, due, "d");
    event.SetEventRepeat(erDaily);
    const TDateTime before = Now();
    event.Trigger();
    ASSERT_EQ(event.Fired(), 1);
    EXPECT_EQ(event.DueTimesSeen().front(), due);
    EXPECT_GE(event.DateTime(), before);
    EXPECT_LT(event.DateTime(), before + 1.0001);
    EXPECT_EQ(Stamp(event.DateTime()).substr(11), "08:00:00.000");
}

// An event due within the clock's tolerance of the end of its firing must still
// move on: left where it was, the next turn would find it due and fire it (and
// send its mail) a second time.
TEST(EventTrigger, NoEventFiresTwice) {
    for (const TEventRepeat repeat : {erHourly, erDaily, erMonthly}) {
        SCOPED_TRACE(static_cast<int>(repeat));
        const TDateTime due = Now() + 0.3 / MSecsPerDay;
        TCountingEvent event(nullptr, due, "edge");
        event.SetEventRepeat(repeat);
        event.Trigger();
        EXPECT_GT(event.DateTime(), due) << Stamp(event.DateTime());
        EXPECT_LT(event.DateTime(), due + 32);
    }
}

// ---- ordering -----------------------------------------------------------------

TEST(EventOrder, InactiveFirstThenDueTimeThenNameIgnoringAsciiCase) {
    TCountingEvent early(nullptr, 10, "b");
    TCountingEvent late(nullptr, 20, "a");
    TCountingEvent inactiveLate(nullptr, 30, "z");
    inactiveLate.SetActive(false);

    EXPECT_EQ(CompareEvents(inactiveLate, early), -1);
    EXPECT_EQ(CompareEvents(early, inactiveLate), 1);
    EXPECT_EQ(CompareEvents(early, late), -1);
    EXPECT_EQ(CompareEvents(late, early), 1);

    TCountingEvent upper(nullptr, 10, "HOME");
    TCountingEvent lower(nullptr, 10, "home");
    TCountingEvent longer(nullptr, 10, "home2");
    TCountingEvent bracket(nullptr, 10, "[x"); // '[' sits between 'Z' and 'a'
    EXPECT_EQ(CompareEvents(upper, lower), 0);
    EXPECT_EQ(CompareEvents(lower, longer), -1);
    EXPECT_EQ(CompareEvents(longer, upper), 1);
    EXPECT_EQ(CompareEvents(bracket, upper), 1); // 'H' < '[' once letters fold up
    // Bytes above ASCII compare as they are, and after every ASCII letter.
    TCountingEvent accented(nullptr, 10, "\xE9t\xE9");
    EXPECT_EQ(CompareEvents(upper, accented), -1);
    TCountingEvent accentedUpper(nullptr, 10, "\xC9T\xC9");
    EXPECT_NE(CompareEvents(accented, accentedUpper), 0);
}

TEST(EventOrder, NaNDueTimeSortsAfterEveryRealTime) {
    TCountingEvent nan(nullptr, std::numeric_limits<double>::quiet_NaN(), "a");
    TCountingEvent far(nullptr, 2958465, "z");
    EXPECT_EQ(CompareEvents(nan, far), 1);
    EXPECT_EQ(CompareEvents(far, nan), -1);
}

} // namespace
} // namespace kal
