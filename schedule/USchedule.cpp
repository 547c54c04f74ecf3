#include "USchedule.h"

#include "UThread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>

namespace kal {

namespace {

// 0001-01-01 and the day after 9999-12-31: the span the calendar functions cover.
constexpr double FirstCalendarDay = -693593.0;
constexpr double EndOfCalendar = 2958466.0;

bool InCalendar(TDateTime value) {
    return std::isfinite(value) && value >= FirstCalendarDay && value < EndOfCalendar;
}

// A damaged NaN due time sorts after every real one, so it can neither hold up
// the scan nor break the ordering the sort relies on.
double SortKey(TDateTime value) {
    return std::isnan(value) ? std::numeric_limits<double>::infinity() : value;
}

char FoldAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

int CompareNames(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(FoldAscii(a[i]));
        const auto y = static_cast<unsigned char>(FoldAscii(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string DescribeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

// Fixed-length periods in days; the hourly step keeps the hour arithmetic exact.
double StepFixed(TEventRepeat repeat, double t, double periods) {
    switch (repeat) {
    case erHourly:
        return (t * HoursPerDay + periods) / HoursPerDay;
    case erDaily:
        return t + periods;
    case erWeekly:
        return t + 7 * periods;
    default:
        return t + 14 * periods;
    }
}

double PeriodDays(TEventRepeat repeat) {
    switch (repeat) {
    case erHourly:
        return 1 / HoursPerDay;
    case erDaily:
        return 1;
    case erWeekly:
        return 7;
    default:
        return 14;
    }
}

int PeriodMonths(TEventRepeat repeat) {
    switch (repeat) {
    case erMonthly:
        return 1;
    case erQuaterly:
        return 3;
    default:
        return 12;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// TEvent

TEvent::TEvent(TSchedule* schedule, TDateTime dateTime, std::string name)
    : FName(std::move(name)), FDateTime(dateTime) {
    if (schedule)
        schedule->AddEvent(this);
}

TEvent::~TEvent() {
    if (TSchedule* schedule = Schedule())
        schedule->RemoveEvent(this);
}

std::unique_lock<std::recursive_mutex> TEvent::Lock() const {
    if (TSchedule* schedule = Schedule())
        return std::unique_lock<std::recursive_mutex>(schedule->Mutex());
    return {};
}

std::string TEvent::Name() const {
    return Locked(FName);
}

void TEvent::SetName(std::string name) {
    Store(FName, std::move(name));
}

TDateTime TEvent::DateTime() const {
    return Locked(FDateTime);
}

void TEvent::SetDateTime(TDateTime value) {
    auto lock = Lock();
    FDateTime = value;
    FDeferredUntil = 0;
    Changed();
}

bool TEvent::Active() const {
    return Locked(FActive);
}

void TEvent::SetActive(bool value) {
    auto lock = Lock();
    if (FActive == value)
        return;
    FActive = value;
    FDeferredUntil = 0;
    Changed();
}

TEventRepeat TEvent::EventRepeat() const {
    return Locked(FEventRepeat);
}

void TEvent::SetEventRepeat(TEventRepeat value) {
    Store(FEventRepeat, value);
}

void TEvent::Trigger() {
    const TDateTime due = DateTime();
    Fire();
    SkipPast(Now(), due);
}

void TEvent::DeferUntil(TDateTime when) {
    Store(FDeferredUntil, when);
}

TDateTime TEvent::DeferredUntil() const {
    return Locked(FDeferredUntil);
}

void TEvent::Changed() {
    if (TSchedule* schedule = Schedule())
        schedule->Reorder(this);
}

void TEvent::LoadFromStream(TStream& stream) {
    // Read everything first so a damaged record leaves the event as it was.
    std::string name = ReadString(stream);
    const TDateTime dateTime = ReadDouble(stream);
    const bool active = ReadUInt8(stream) != 0;
    const auto repeat = static_cast<TEventRepeat>(ReadUInt8(stream));

    auto lock = Lock();
    FName = std::move(name);
    FDateTime = dateTime;
    FActive = active;
    FEventRepeat = repeat;
    FDeferredUntil = 0;
}

void TEvent::SaveToStream(TStream& stream) const {
    std::string name;
    TDateTime dateTime;
    bool active;
    TEventRepeat repeat;
    {
        auto lock = Lock();
        name = FName;
        dateTime = FDateTime;
        active = FActive;
        repeat = FEventRepeat;
    }
    WriteString(stream, name);
    WriteDouble(stream, dateTime);
    WriteUInt8(stream, active ? 1 : 0);
    WriteUInt8(stream, repeat);
}

void TEvent::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, TFileMode::fmOpenRead);
    LoadFromStream(stream);
}

void TEvent::SaveToFile(const std::string& fileName) const {
    TFileStream stream(fileName, TFileMode::fmCreate);
    SaveToStream(stream);
    stream.Close();
}

void TEvent::SkipNext() {
    SkipNext(Now());
}

void TEvent::SkipNext(TDateTime now) {
    Advance(now, nullptr);
}

void TEvent::SkipPast(TDateTime now, TDateTime passed) {
    Advance(now, &passed);
}

void TEvent::Advance(TDateTime now, const TDateTime* passed) {
    auto lock = Lock();
    FDeferredUntil = 0;
    if (FEventRepeat == erNone || FEventRepeat > erYearly || !InCalendar(FDateTime)) {
        FActive = false;
    } else if (FEventRepeat <= erFortnightly) {
        // Hour steps carry rounding error: an occurrence within half a millisecond
        // of now (the clock's resolution) is now, not a period too early.
        const TDateTime limit = now - 0.5 / MSecsPerDay;
        double t = FDateTime;
        if (t < limit) {
            // Years of missed hours are jumped at once; the loop settles the last step.
            t = StepFixed(FEventRepeat, t, std::floor((now - t) / PeriodDays(FEventRepeat)));
            while (t < limit)
                t = StepFixed(FEventRepeat, t, 1);
        }
        while (passed && !(t > *passed))
            t = StepFixed(FEventRepeat, t, 1);
        FDateTime = t;
    } else {
        // Month by month: a day cut down to a short month's end stays cut.
        const int months = PeriodMonths(FEventRepeat);
        const TDateTime limit = now - 0.5 / MSecsPerDay;
        double t = FDateTime;
        while ((t < limit || (passed && !(t > *passed))) && InCalendar(t))
            t = IncMonth(t, months);
        if (InCalendar(t))
            FDateTime = t;
        else
            FActive = false;
    }
    Changed();
}

int TEvent::ScheduleIndex() const {
    TSchedule* schedule = Schedule();
    if (!schedule)
        return -1;
    std::lock_guard lock(schedule->Mutex());
    const std::vector<TEvent*>& events = schedule->FEvents;
    const auto it = std::find(events.begin(), events.end(), this);
    return it == events.end() ? -1 : static_cast<int>(it - events.begin());
}

int CompareEvents(const TEvent& a, const TEvent& b) {
    if (a.FActive != b.FActive)
        return a.FActive ? 1 : -1;
    const double x = SortKey(a.FDateTime);
    const double y = SortKey(b.FDateTime);
    if (x < y)
        return -1;
    if (x > y)
        return 1;
    return CompareNames(a.FName, b.FName);
}

// ---------------------------------------------------------------------------
// TSchedule

TSchedule::TSchedule() = default;

TSchedule::~TSchedule() {
    StopThread();
    std::vector<TEvent*> remaining;
    {
        std::lock_guard lock(FMutex);
        remaining.swap(FEvents);
        for (TEvent* event : remaining)
            event->FSchedule = nullptr;
    }
    if (FOwnsEvents)
        for (TEvent* event : remaining)
            delete event;
}

void TSchedule::StopThread() {
    FThread.Terminate();
}

void TSchedule::AddEvent(TEvent* event) {
    if (!event)
        return;
    TSchedule* previous = event->Schedule();
    if (previous == this)
        return;
    if (previous)
        previous->RemoveEvent(event);
    std::lock_guard lock(FMutex);
    InsertSorted(event);
    event->FSchedule = this;
    if (FEvents.size() == 1)
        FThread.SetRunning(true);
}

void TSchedule::RemoveEvent(TEvent* event) {
    if (!event)
        return;
    std::lock_guard lock(FMutex);
    const auto it = std::find(FEvents.begin(), FEvents.end(), event);
    if (it == FEvents.end())
        return;
    FEvents.erase(it);
    event->FSchedule = nullptr;
    if (FEvents.empty())
        FThread.SetRunning(false);
}

bool TSchedule::RemoveEventUnlessFiring(TEvent* event) {
    // The firing mark is set under this mutex, so the test and the removal are one step.
    std::lock_guard lock(FMutex);
    if (Firing(event))
        return false;
    RemoveEvent(event);
    return true;
}

void TSchedule::AddEventHolder(IEventHolder& holder) {
    AddEvent(holder.GetEvent());
}

void TSchedule::RemoveEventHolder(IEventHolder& holder) {
    RemoveEvent(holder.GetEvent());
}

void TSchedule::SortEvents() {
    std::lock_guard lock(FMutex);
    FSortingDeferred = false;
    // Stable, so events that compare equal keep the order they were loaded in.
    std::stable_sort(FEvents.begin(), FEvents.end(),
                     [](const TEvent* a, const TEvent* b) { return CompareEvents(*a, *b) < 0; });
}

void TSchedule::Reorder(TEvent* event) {
    std::lock_guard lock(FMutex);
    if (FEvents.size() > 1) {
        const auto it = std::find(FEvents.begin(), FEvents.end(), event);
        if (it != FEvents.end()) {
            FEvents.erase(it);
            InsertSorted(event);
        }
    }
    if (OnChange)
        OnChange(*this);
}

int TSchedule::EventCount() const {
    std::lock_guard lock(FMutex);
    return static_cast<int>(FEvents.size());
}

TEvent* TSchedule::Events(int index) const {
    std::lock_guard lock(FMutex);
    return FEvents.at(static_cast<std::size_t>(index));
}

std::vector<TEvent*> TSchedule::EventList() const {
    std::lock_guard lock(FMutex);
    return FEvents;
}

void TSchedule::DeferSorting() {
    std::lock_guard lock(FMutex);
    FSortingDeferred = true;
}

void TSchedule::InsertSorted(TEvent* event) {
    if (FSortingDeferred) {
        FEvents.push_back(event);
        return;
    }
    int lo = 0;
    int hi = static_cast<int>(FEvents.size()) - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        if (CompareEvents(*event, *FEvents[static_cast<std::size_t>(mid)]) > 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    FEvents.insert(FEvents.begin() + lo, event);
}

std::vector<TEvent*> TSchedule::CollectDue(TDateTime now) const {
    std::vector<TEvent*> batch;
    std::lock_guard lock(FMutex);
    for (TEvent* event : FEvents) {
        if (!event->FActive)
            continue;
        if (!(now >= event->FDateTime))
            break;
        if (event->FDeferredUntil > now)
            continue;
        batch.push_back(event);
    }
    return batch;
}

bool TSchedule::Contains(const TEvent* event) const {
    return std::find(FEvents.begin(), FEvents.end(), event) != FEvents.end();
}

void TSchedule::DoEvents(const std::vector<TEvent*>& batch) {
    for (TEvent* event : batch)
        TriggerEvent(*event);
}

void TSchedule::TriggerEvent(TEvent& event) {
    {
        // Removed (and perhaps freed) by the window thread while an earlier
        // event of the batch ran: pass it over. Marked under the mutex, so an
        // owner that removes the event and then sees Firing false is safe.
        std::lock_guard lock(FMutex);
        if (!Contains(&event))
            return;
        FFiring = &event;
    }
    try {
        event.Trigger();
    } catch (...) {
        ReportError(&event, DescribeCurrentException());
        AdvanceIfStillDue(&event);
    }
    FFiring = nullptr;
}

void TSchedule::AdvanceIfStillDue(TEvent* event) {
    try {
        std::lock_guard lock(FMutex);
        if (Contains(event) && event->FActive && !(event->FDateTime > Now()))
            event->SkipPast(Now(), event->FDateTime);
    } catch (...) {
        ReportError(event, DescribeCurrentException());
    }
}

void TSchedule::ReportError(TEvent* event, const std::string& message) {
    try {
        if (OnError)
            OnError(*this, event, message);
    } catch (...) {
        // A failing error handler has nowhere further to report to.
    }
}

void TSchedule::RunBatch(const std::vector<TEvent*>& batch) {
    try {
        DoEvents(batch);
    } catch (...) {
        ReportError(nullptr, DescribeCurrentException());
        // Whatever the failed batch left due would otherwise fire again every turn.
        for (TEvent* event : batch)
            AdvanceIfStillDue(event);
    }
}

// ---------------------------------------------------------------------------
// TScheduleThread

TScheduleThread::TScheduleThread(TSchedule& schedule) : FSchedule(schedule) {}

TScheduleThread::~TScheduleThread() {
    Terminate();
}

void TScheduleThread::SetRunning(bool running) {
    {
        std::lock_guard lock(FMutex);
        FRunning = running;
        // Created on the first resume: a schedule that never holds an event (a
        // configuration only loaded to be read or checked) costs no thread.
        if (running && !FStop && !FThread.joinable()) {
            FEnded = false;
            FThread = std::thread([this] {
                Execute();
                FEnded = true;
            });
        }
    }
    FWake.notify_all();
}

void TScheduleThread::Terminate() {
    RequestStop();
    // No thread is created once FStop is set, so FThread is settled here.
    if (FThread.joinable())
        FThread.join();
}

void TScheduleThread::RequestStop() {
    {
        std::lock_guard lock(FMutex);
        FStop = true;
    }
    FWake.notify_all();
}

bool TScheduleThread::WaitOrStop(int ms) {
    std::unique_lock lock(FMutex);
    return FWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FStop; });
}

void TScheduleThread::Execute() {
    SetCurrentThreadName("kal-schedule");
    for (;;) {
        {
            // Parked only here, between turns, while there is nothing to watch.
            std::unique_lock lock(FMutex);
            if (!FRunning && !FStop) {
                FPaused = true;
                FWake.wait(lock, [this] { return FRunning || FStop; });
            }
            FPaused = false;
            if (FStop)
                return;
        }
        if (WaitOrStop(500))
            return;
        if (FSchedule.EventCount() < 1) {
            if (WaitOrStop(500))
                return;
            continue;
        }
        std::vector<TEvent*> batch;
        try {
            batch = FSchedule.CollectDue(Now());
        } catch (...) {
            FSchedule.ReportError(nullptr, DescribeCurrentException());
        }
        if (!batch.empty())
            FSchedule.RunBatch(batch);
    }
}

} // namespace kal
