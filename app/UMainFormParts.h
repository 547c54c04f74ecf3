// What the files of the main window share, and nothing else includes: one class,
// TMainForm, written in several files by concern (creation and lists in
// UMainForm.cpp, controls and menus in UMainFormLayout.cpp, commands in
// UMainFormCommands.cpp, start-up and shutdown runs in UMainFormRuns.cpp).
#pragma once

#include "UItemNames.h"
#include "UMainForm.h"

#include <array>
#include <string>

namespace kal::mainform {

struct TCommonBox {
    HWND TMainForm::*Box;
    TCommonSource Source;
    int Id;
};
// The nine boxes of the "Common Folders" group and the sources they stand for.
inline constexpr std::array<TCommonBox, 9> CommonBoxes{{
    {&TMainForm::chk_MyDocuments, csMyDocuments, TMainForm::idMyDocuments},
    {&TMainForm::chk_MyPictures, csMyPictures, TMainForm::idMyPictures},
    {&TMainForm::chk_MyVideos, csMyVideos, TMainForm::idMyVideos},
    {&TMainForm::chk_MyMusic, csMyMusic, TMainForm::idMyMusic},
    {&TMainForm::chk_SharedDocuments, csSharedDocuments, TMainForm::idSharedDocuments},
    {&TMainForm::chk_SharedPictures, csSharedPictures, TMainForm::idSharedPictures},
    {&TMainForm::chk_SharedVideos, csSharedVideos, TMainForm::idSharedVideos},
    {&TMainForm::chk_SharedMusic, csSharedMusic, TMainForm::idSharedMusic},
    {&TMainForm::chk_Desktop, csDesktop, TMainForm::idDesktop},
}};

// The selected line of a list box, -1 when none.
inline int ListIndex(HWND list) {
    return static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
}

// A warning box with the reasons an item was not added; nothing when there are none.
void WarnRefused(HWND owner, const std::string& text);

// The main window's frame with its menu bar (UMainFormLayout.cpp).
TWindowParams MainWindowParams();

// Asks Windows to power off (UMainFormRuns.cpp).
void DefaultPowerOff();

} // namespace kal::mainform
