// Steps a user takes in Kalvaren that more than one driver needs: choosing a
// folder in the picker and reading the Backup Terminal.
#pragma once

#include "kal_driver.h"

#include <string>
#include <vector>

namespace kal::e2e {

// The text of the folder picker's selected item, read through the program's
// memory (tree-view items carry pointers the system does not marshal).
std::wstring PickerSelection(TProgram& program, HWND picker);

// Selects `folder` in the open picker and presses OK, but only once the picker
// shows it: a wrong default would hand the program whatever folder it names.
// Saves a screenshot of the picker to `screenshot` when given. False with the
// picker still open when the folder could not be selected.
bool PickFolder(TProgram& program, const std::string& folder, const std::string& screenshot = "");

// Selects the first of `names` found among the items below the root of the open
// picker's tree (virtual folders such as the computer, which have no file-system
// path) and presses OK. False with the picker still open when none is there.
bool PickVirtualFolder(TProgram& program, const std::vector<std::wstring>& names);

// The terminal's panes: the output pane first, then the error pane.
std::vector<HWND> TerminalPanes(HWND terminal);

// How often `what` occurs in `text`.
std::size_t Count(const std::string& text, const std::string& what);

} // namespace kal::e2e
