// The platform halves of the engine's file and shell helpers (URSync_win.cpp,
// URSync_posix.cpp). Internal to the engine.
#pragma once

#include "URSync.h"

namespace kal::platform {

// SHGetSpecialFolderPathA on Windows; knows no folders elsewhere.
IShellFolders& DefaultShellFolders();
// Folder of the running executable, without a trailing separator.
std::string ModuleFolder();
// Whether anything (file or folder) is there.
bool PathExists(const std::string& path);
// Gives `from` the name `to` unless something has that name; false with the
// system's reason in `error` otherwise.
bool MoveWithoutReplacing(const std::string& from, const std::string& to, std::string& error);
// Copies `from` to a new file `to`; false with the system's reason in `error`
// when that cannot be done or `to` exists.
bool CopyWithoutReplacing(const std::string& from, const std::string& to, std::string& error);

} // namespace kal::platform
