// One program per configuration in a user session. A second start would fire
// every schedule twice and save over the first program's edits, so it finds the
// running program's main window, asks it to show itself and ends.
//
// An instance is named after the folder of Data.dat, so separate installations
// do not meet; by the folder's identity on its volume, not by the spelling of its
// path, so that an 8.3 name, a subst drive or a junction meet the same program.
// The name serves three things: the mutex (in the session's namespace) that the
// running program owns, the window property that marks its main window, and the
// registered message that asks that window to show itself.
#pragma once

#include "UScoped.h"

#include <windows.h>

#include <string>

namespace kal {

std::string InstanceName(const std::string& dataFolder);

// The main window of the program that holds `name`, null when there is none.
HWND FindInstanceWindow(const std::string& name);

// The main window of the program that holds `name` once it answers messages,
// waiting up to `timeoutMs` for it; null when none answers by then.
HWND FindAnsweringInstance(const std::string& name, DWORD timeoutMs);

// Asks that window to show itself and hands it the foreground.
void ShowRunningInstance(HWND window, const std::string& name);

// Asks the program that holds `name` to save and end, as at its "Exit", and waits
// up to `timeoutMs` for its process to end. An installer does this before it
// replaces the program's files.
enum class TCloseResult { NoneRunning = 0, Closed = 1, StillRunning = 2 };
TCloseResult CloseRunningInstance(const std::string& name, DWORD timeoutMs);

// The claim on an instance: a mutex owned by the main thread for as long as this
// object lives. A program that was killed leaves it abandoned, and the next start
// takes it over.
class TInstanceLock {
public:
    explicit TInstanceLock(const std::string& name);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // Tries to take the claim within `waitMs`; true once held. A claim the system
    // refused counts as held: the program then runs rather than not at all.
    bool Acquire(DWORD waitMs);
    bool Held() const noexcept { return FHeld; }

private:
    unique_handle_t FMutex;
    bool FHeld = false;
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
    // The message CloseRunningInstance posts to the window, both parameters 0.
    UINT CloseRequest() const noexcept { return FCloseRequest; }

private:
    HWND FWindow;
    std::string FName;
    UINT FShowRequest;
    UINT FCloseRequest;
};

} // namespace kal
