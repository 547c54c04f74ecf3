// Timed events with repeat kinds and catch-up, and the sorted schedule whose
// polling thread fires them.
//
// Threads. The window thread adds, removes and edits events; the schedule thread
// scans the list and fires what is due. One recursive mutex per schedule
// (Mutex()) guards the list and the fields of every event in it; the event's
// accessors, SkipNext, Changed, Reorder and the scan take it. The scan collects
// the due events under the mutex, then DoEvents runs WITHOUT it, because an
// action may block for a whole transfer. Changed and OnChange run with the mutex
// held: they must hand window work to the window thread by posting, never by
// waiting for it.
//
// An event joins its schedule in TEvent's constructor and leaves it in TEvent's
// destructor, that is before a subclass is built and after it is torn down. So:
// create an event that may already be due with Mutex() held until the subclass is
// complete (or create it without a schedule and AddEvent it afterwards); and to
// free an event, RemoveEvent it first, then wait (without the mutex) until
// Firing(event) is false. An event removed after its batch was collected is
// passed over.
//
// An exception from an action never ends the schedule thread: it is reported
// through OnError and the event is still advanced, so a failing action does not
// fire again every turn.
#pragma once

#include "UDateTime.h"
#include "UStreams.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kal {

enum TEventRepeat : std::uint8_t {
    erNone,
    erHourly,
    erDaily,
    erWeekly,
    erFortnightly,
    erMonthly,
    erQuaterly,
    erYearly
};

class TSchedule;

class TEvent {
public:
    // Active, one-shot, and added to the schedule when one is given.
    TEvent(TSchedule* schedule, TDateTime dateTime, std::string name);
    // Leaves its schedule first.
    virtual ~TEvent();
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    TSchedule* Schedule() const { return FSchedule.load(); }

    std::string Name() const;
    void SetName(std::string name);
    TDateTime DateTime() const;
    // Always re-sorts, even for an equal value.
    void SetDateTime(TDateTime value);
    bool Active() const;
    // Re-sorts only when the value differs.
    void SetActive(bool value);
    TEventRepeat EventRepeat() const;
    void SetEventRepeat(TEventRepeat value);

    // The action, then the move to the next occurrence; the action sees the old due time.
    virtual void Trigger();
    // Keeps the schedule's order in step with this event.
    virtual void Changed();
    virtual void Fire() = 0;

    // The record: int32 name length, the name, the due time as a double, the active
    // flag and the repeat kind as one byte each (14 bytes plus the name). Loading
    // stores the fields without re-sorting; the schedule is sorted once afterwards.
    // A record that is cut short or carries a negative name length raises EReadError
    // and leaves the event unchanged.
    virtual void LoadFromStream(TStream& stream);
    virtual void SaveToStream(TStream& stream) const;
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

    // Moves the due time forward in whole periods to the first occurrence not
    // earlier than now, so missed occurrences collapse into one firing. A one-shot
    // event becomes inactive instead. A repeat kind outside the known ones, or a due
    // time outside the calendar (both only come from a damaged file), also makes the
    // event inactive rather than guessing a period.
    void SkipNext();
    void SkipNext(TDateTime now);
    // As SkipNext, and a repeating event also ends up later than `passed` (its due
    // time when it fired): an event due within the clock's tolerance of the end of
    // its firing must not be found due again and fire twice.
    void SkipPast(TDateTime now, TDateTime passed);

    // Keeps a due event out of the scan until `when`, without moving its due time
    // (nor what is stored): an occurrence that could not run is tried again later,
    // not every turn. Any change of the due time or the active flag ends it.
    void DeferUntil(TDateTime when);
    TDateTime DeferredUntil() const;

    // Position in the schedule's sorted list, -1 without a schedule.
    int ScheduleIndex() const;

private:
    friend class TSchedule;
    friend int CompareEvents(const TEvent& a, const TEvent& b);

    void Advance(TDateTime now, const TDateTime* passed);
    // Holds the schedule's mutex when there is a schedule, nothing otherwise.
    std::unique_lock<std::recursive_mutex> Lock() const;
    template <typename T> T Locked(const T& field) const {
        auto lock = Lock();
        return field;
    }
    template <typename T> void Store(T& field, T value) {
        auto lock = Lock();
        field = std::move(value);
    }

    std::atomic<TSchedule*> FSchedule{nullptr};
    std::string FName;
    TDateTime FDateTime = 0;
    bool FActive = true;
    TEventRepeat FEventRepeat = erNone;
    TDateTime FDeferredUntil = 0;
};

// Inactive events first, then by due time, then by name with ASCII letters folded.
// Reads the fields directly: hold the schedule's mutex for events in a live schedule.
int CompareEvents(const TEvent& a, const TEvent& b);

class IEventHolder {
public:
    virtual TEvent* GetEvent() = 0;

protected:
    ~IEventHolder() = default;
};

// The schedule's polling thread: a turn every 500 ms (1000 ms while the list is
// empty), parked between turns while the schedule holds no event. The thread
// itself is created by the first SetRunning(true); until then it counts as parked.
class TScheduleThread {
public:
    // Starts parked, without a thread; the schedule lets it run when its first
    // event arrives.
    explicit TScheduleThread(TSchedule& schedule);
    ~TScheduleThread();
    TScheduleThread(const TScheduleThread&) = delete;
    TScheduleThread& operator=(const TScheduleThread&) = delete;

    TSchedule& Schedule() const { return FSchedule; }
    // Resume or park at the start of the next turn, never in the middle of one.
    void SetRunning(bool running);
    bool Paused() const { return FPaused.load(); }
    // Wakes the thread at once and waits for it to end; later calls do nothing.
    void Terminate();
    // Asks the thread to end after the firing in progress, without waiting.
    void RequestStop();
    // True once the thread has left its loop, or when there never was one.
    bool Ended() const { return FEnded.load(); }

private:
    void Execute();
    // Waits up to ms; true when the thread is asked to end.
    bool WaitOrStop(int ms);

    TSchedule& FSchedule;
    std::mutex FMutex;
    std::condition_variable FWake;
    bool FRunning = false;
    bool FStop = false;
    std::atomic<bool> FPaused{true};
    std::atomic<bool> FEnded{true};
    std::thread FThread;
};

class TSchedule {
public:
    TSchedule();
    // Ends the thread, then detaches the remaining events and frees them if OwnsEvents.
    virtual ~TSchedule();
    TSchedule(const TSchedule&) = delete;
    TSchedule& operator=(const TSchedule&) = delete;

    // Takes the event over from any other schedule; nothing if already here.
    void AddEvent(TEvent* event);
    void RemoveEvent(TEvent* event);
    // RemoveEvent, unless the schedule thread is triggering the event: then nothing
    // changes and the answer is false. Once removed, the event cannot start firing,
    // so its owner may free it without waiting for a transfer.
    bool RemoveEventUnlessFiring(TEvent* event);
    void AddEventHolder(IEventHolder& holder);
    void RemoveEventHolder(IEventHolder& holder);
    // Sorts the whole list once, e.g. after loading; raises no notification.
    void SortEvents();
    // Until the next SortEvents, events join at the end of the list unsorted: adding
    // many, as loading does, then costs time linear in their number. The caller
    // holds Mutex() until it has sorted, so no scan sees the list out of order.
    void DeferSorting();
    // Re-inserts the event at its place, then raises OnChange even if nothing moved.
    void Reorder(TEvent* event);

    int EventCount() const;
    TEvent* Events(int index) const;
    std::vector<TEvent*> EventList() const;

    bool OwnsEvents() const { return FOwnsEvents; }
    void SetOwnsEvents(bool value) { FOwnsEvents = value; }

    // Raised after every Reorder, on whichever thread changed the event, mutex held.
    std::function<void(TSchedule&)> OnChange;
    // Raised on the schedule thread when an action (or DoEvents) throws; the
    // event is null when the failure cannot be tied to one event.
    std::function<void(TSchedule&, TEvent*, const std::string&)> OnError;

    std::recursive_mutex& Mutex() const { return FMutex; }

    // The active events due at `now`, in list order. The scan passes over inactive
    // events and stops at the first active one not yet due, so it costs the
    // inactive plus the due events, never the whole list.
    std::vector<TEvent*> CollectDue(TDateTime now) const;

    // Ends the polling thread promptly (a wake-up, not a wait for the next turn).
    // A subclass that overrides DoEvents calls it first in its own destructor.
    // Never call it from an action: the thread cannot wait for itself.
    void StopThread();
    // Asks the thread to end after the batch in progress; returns at once. A caller
    // that must keep its windows answering waits for ThreadEnded, then StopThread.
    void RequestStopThread() { FThread.RequestStop(); }
    bool ThreadEnded() const { return FThread.Ended(); }
    // True while the thread is parked because the schedule holds no event.
    bool ThreadPaused() const { return FThread.Paused(); }
    // True while the schedule thread is triggering this event. Once the event has
    // been removed, this can only turn from true to false.
    bool Firing(const TEvent* event) const { return event && FFiring.load() == event; }

protected:
    // Fires a batch in list order, on the schedule thread, without the mutex.
    virtual void DoEvents(const std::vector<TEvent*>& batch);
    // Triggers one event unless it has left the schedule since the batch was
    // collected; an exception is reported and the event still advanced.
    void TriggerEvent(TEvent& event);
    // Binary search; an event equal to others goes before them.
    void InsertSorted(TEvent* event);

private:
    friend class TEvent;
    friend class TScheduleThread;

    void RunBatch(const std::vector<TEvent*>& batch);
    bool Contains(const TEvent* event) const;
    // Advances an event left due by a failed action, if it is still ours.
    void AdvanceIfStillDue(TEvent* event);
    void ReportError(TEvent* event, const std::string& message);

    mutable std::recursive_mutex FMutex;
    std::vector<TEvent*> FEvents;
    bool FOwnsEvents = true;
    bool FSortingDeferred = false;

    std::atomic<const TEvent*> FFiring{nullptr};
    // Last, so it is built after the list it watches. Its own mutex is taken
    // after FMutex, never before it.
    TScheduleThread FThread{*this};
};

} // namespace kal
