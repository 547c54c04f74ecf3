// One program per configuration in a user session. A second start would fire
// every schedule twice and save over the first program's edits, so it finds the
// running program's main window, asks it to show itself and ends.
//
// An instance is named after the folder of Data.dat, so separate installations
// do not meet. The name serves three things: the mutex (in the session's
// namespace) that the running program holds, the window property that marks its
// main window, and the registered message that asks that window to show itself.
#pragma once

#include "UScoped.h"

#include <windows.h>

#include <string>

namespace kal {

std::string InstanceName(const std::string& dataFolder);

// The main window of the program that holds `name`, null when there is none.
HWND FindInstanceWindow(const std::string& name);

// Asks the main window of the program that holds `name` to show itself, waiting
// a little for that window while the program may still be creating it.
void ShowRunningInstance(const std::string& name);

// The claim on an instance, held for as long as this object lives.
class TInstanceLock {
public:
    explicit TInstanceLock(const std::string& name);
    // True when another program held the name first. A claim the system refused
    // counts as alone: the program then runs rather than not at all.
    bool AnotherRuns() const noexcept { return FAnotherRuns; }

private:
    unique_handle_t FMutex;
    bool FAnotherRuns = false;
};

// Marks a window as the main window of instance `name` for as long as this
// object lives, so that FindInstanceWindow finds it.
class TInstanceWindow {
public:
    TInstanceWindow(HWND window, const std::string& name);
    ~TInstanceWindow();
    TInstanceWindow(const TInstanceWindow&) = delete;
    TInstanceWindow& operator=(const TInstanceWindow&) = delete;

    // The message a second start posts to the window, both parameters 0.
    UINT ShowRequest() const noexcept { return FShowRequest; }

private:
    HWND FWindow;
    std::string FName;
    UINT FShowRequest;
};

} // namespace kal
