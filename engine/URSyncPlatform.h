// The platform halves of the engine's file and shell helpers (URSync_win.cpp,
// URSync_posix.cpp). Internal to the engine.
#pragma once

#include "URSync.h"

namespace kal::platform {

// SHGetSpecialFolderPathA on Windows; knows no folders elsewhere.
IShellFolders& DefaultShellFolders();
// Folder of the running executable, without a trailing separator.
std::string ModuleFolder();

} // namespace kal::platform
