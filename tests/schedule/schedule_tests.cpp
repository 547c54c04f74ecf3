#include "schedule_testing.h"

#include <gtest/gtest.h>

#include <memory>

namespace kal {
namespace {

using test::TCountingEvent;

// Far enough ahead that the polling thread never fires anything in these tests.
const TDateTime Future = Now() + 1000;

std::vector<std::string> Names(const TSchedule& schedule) {
    std::vector<std::string> names;
    for (const TEvent* event : schedule.EventList())
        names.push_back(event->Name());
    return names;
}

using NameList = std::vector<std::string>;

TEST(ScheduleList, AddKeepsTheListSortedAndEqualEventsGoFirst) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    TCountingEvent c(&schedule, Future + 3, "c");
    TCountingEvent a(&schedule, Future + 1, "a");
    TCountingEvent off(&schedule, Future + 9, "off");
    off.SetActive(false);
    TCountingEvent b(&schedule, Future + 2, "b");
    TCountingEvent first(&schedule, Future + 2, "B"); // equal to b: placed before it
    EXPECT_EQ(Names(schedule), (NameList{"off", "a", "B", "b", "c"}));
    EXPECT_EQ(schedule.EventCount(), 5);
    EXPECT_EQ(schedule.Events(2), &first);
    EXPECT_EQ(first.ScheduleIndex(), 2);
    EXPECT_EQ(b.ScheduleIndex(), 3);
    EXPECT_THROW(schedule.Events(5), std::out_of_range);
    EXPECT_THROW(schedule.Events(-1), std::out_of_range);
}

TEST(ScheduleList, AddAndRemoveAreIdempotentAndMoveBetweenSchedules) {
    TSchedule one;
    TSchedule two;
    one.SetOwnsEvents(false);
    two.SetOwnsEvents(false);
    TCountingEvent event(&one, Future, "e");
    one.AddEvent(&event);
    one.AddEvent(nullptr);
    EXPECT_EQ(one.EventCount(), 1);

    two.AddEvent(&event);
    EXPECT_EQ(one.EventCount(), 0);
    EXPECT_EQ(two.EventCount(), 1);
    EXPECT_EQ(event.Schedule(), &two);

    one.RemoveEvent(&event); // not in it: nothing
    EXPECT_EQ(event.Schedule(), &two);
    two.RemoveEvent(&event);
    two.RemoveEvent(nullptr);
    EXPECT_EQ(two.EventCount(), 0);
    EXPECT_EQ(event.Schedule(), nullptr);
    EXPECT_EQ(event.ScheduleIndex(), -1);
}

TEST(ScheduleList, DestroyedEventLeavesItsSchedule) {
    TSchedule schedule;
    auto event = std::make_unique<TCountingEvent>(&schedule, Future, "gone");
    TCountingEvent stays(&schedule, Future + 1, "stays");
    event.reset();
    EXPECT_EQ(Names(schedule), NameList{"stays"});
    schedule.RemoveEvent(&stays);
}

TEST(ScheduleList, HoldersAddAndRemoveTheirEvent) {
    struct Holder : IEventHolder {
        TEvent* event = nullptr;
        TEvent* GetEvent() override { return event; }
    };
    TSchedule schedule;
    TCountingEvent event(nullptr, Future, "held");
    Holder holder;
    holder.event = &event;
    schedule.AddEventHolder(holder);
    EXPECT_EQ(event.Schedule(), &schedule);
    schedule.RemoveEventHolder(holder);
    EXPECT_EQ(schedule.EventCount(), 0);
    Holder empty;
    schedule.AddEventHolder(empty);
    EXPECT_EQ(schedule.EventCount(), 0);
}

TEST(ScheduleList, ChangesReorderAndNotifyOnlyWhenTheyShould) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    int changes = 0;
    schedule.OnChange = [&](TSchedule& s) {
        EXPECT_EQ(&s, &schedule);
        ++changes;
    };
    TCountingEvent a(&schedule, Future + 1, "a");
    TCountingEvent b(&schedule, Future + 2, "b");
    TCountingEvent c(&schedule, Future + 3, "c");
    EXPECT_EQ(changes, 0); // adding is not a change

    c.SetDateTime(Future);
    EXPECT_EQ(Names(schedule), (NameList{"c", "a", "b"}));
    EXPECT_EQ(changes, 1);
    c.SetDateTime(Future); // same value: still re-sorted and notified
    EXPECT_EQ(changes, 2);

    a.SetActive(true); // unchanged: nothing
    EXPECT_EQ(changes, 2);
    b.SetActive(false);
    EXPECT_EQ(Names(schedule), (NameList{"b", "c", "a"}));
    EXPECT_EQ(changes, 3);

    a.SetName("0 first by name? no, time decides");
    a.SetEventRepeat(erDaily);
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(Names(schedule).back(), "0 first by name? no, time decides");

    // A lone event still notifies.
    schedule.RemoveEvent(&a);
    schedule.RemoveEvent(&b);
    c.SetDateTime(Future + 5);
    EXPECT_EQ(changes, 4);
    schedule.Reorder(&a); // not in the list: nothing moves, still notified
    EXPECT_EQ(changes, 5);
}

TEST(ScheduleList, LoadingDoesNotResortButSortEventsDoesSilently) {
    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    int changes = 0;
    schedule.OnChange = [&](TSchedule&) {
        ++changes;
    };
    TCountingEvent a(&schedule, Future + 1, "a");
    TCountingEvent b(&schedule, Future + 2, "b");
    TCountingEvent c(&schedule, Future + 3, "c");
    TCountingEvent d(&schedule, Future + 4, "d");

    TMemoryStream stream;
    TCountingEvent source(nullptr, Future + 9, "a");
    source.SaveToStream(stream);
    stream.SetPosition(0);
    a.LoadFromStream(stream);
    EXPECT_EQ(Names(schedule), (NameList{"a", "b", "c", "d"}));
    EXPECT_EQ(changes, 0);

    // b and c become equal: the stable sort keeps their order.
    TMemoryStream same;
    TCountingEvent twin(nullptr, Future + 2, "b");
    twin.SaveToStream(same);
    same.SetPosition(0);
    c.LoadFromStream(same);

    schedule.SortEvents();
    EXPECT_EQ(schedule.EventList(), (std::vector<TEvent*>{&b, &c, &d, &a}));
    EXPECT_EQ(changes, 0);
}

TEST(ScheduleList, DestructionFreesOwnedEventsOrDetachesTheRest) {
    struct Tracked : TCountingEvent {
        Tracked(TSchedule* s, bool& destroyed) : TCountingEvent(s, Future, "t"), flag(destroyed) {}
        ~Tracked() override { flag = true; }
        bool& flag;
    };
    bool destroyed = false;
    {
        TSchedule owning;
        new Tracked(&owning, destroyed);
    }
    EXPECT_TRUE(destroyed);

    destroyed = false;
    auto kept = std::make_unique<Tracked>(nullptr, destroyed);
    {
        TSchedule lending;
        lending.SetOwnsEvents(false);
        lending.AddEvent(kept.get());
    }
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(kept->Schedule(), nullptr);
    EXPECT_EQ(kept->ScheduleIndex(), -1);
}

TEST(ScheduleScan, PassesOverInactiveAndStopsAtTheFirstEventNotDue) {
    const TDateTime now = EncodeDateTime(2026, 5, 1, 12);
    TCountingEvent off(nullptr, now - 5, "off");
    off.SetActive(false);
    TCountingEvent due1(nullptr, now - 1, "due1");
    TCountingEvent due2(nullptr, now, "due2");
    TCountingEvent later(nullptr, now + 1.0 / MSecsPerDay, "later");
    TCountingEvent muchLater(nullptr, now + 2, "muchLater");

    TSchedule schedule;
    schedule.SetOwnsEvents(false);
    // Holding the mutex keeps the polling thread out, so it cannot fire these
    // overdue events while the scan is examined.
    std::lock_guard lock(schedule.Mutex());
    for (TEvent* e : std::vector<TEvent*>{&muchLater, &later, &due2, &off, &due1})
        schedule.AddEvent(e);
    EXPECT_EQ(schedule.CollectDue(now), (std::vector<TEvent*>{&due1, &due2}));
    EXPECT_EQ(schedule.CollectDue(now - 2), std::vector<TEvent*>{});
    EXPECT_EQ(schedule.CollectDue(now + 1), (std::vector<TEvent*>{&due1, &due2, &later}));

    // The scan trusts the order: an event made due by a record load (which does
    // not re-sort) behind one not yet due waits until the list is sorted.
    TMemoryStream record;
    TCountingEvent(nullptr, now - 3, "muchLater").SaveToStream(record);
    record.SetPosition(0);
    muchLater.LoadFromStream(record);
    EXPECT_EQ(schedule.CollectDue(now), (std::vector<TEvent*>{&due1, &due2}));
    schedule.SortEvents();
    EXPECT_EQ(schedule.CollectDue(now), (std::vector<TEvent*>{&muchLater, &due1, &due2}));
    for (TEvent* e : std::vector<TEvent*>{&off, &due1, &due2, &later, &muchLater})
        schedule.RemoveEvent(e);
}

} // namespace
} // namespace kal
