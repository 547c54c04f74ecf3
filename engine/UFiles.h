// Files and shell folders on Windows-shaped paths, behind one portable header:
// UFiles_win.cpp and UFiles_posix.cpp are the two halves. On POSIX a backslash
// counts as a separator, so the engine's paths work unchanged in native tests.
#pragma once

#include "UStreams.h"

#include <string>
#include <string_view>

namespace kal {

// Shell folders behind a small interface: SHGetSpecialFolderPathW on Windows;
// the POSIX default knows none. Tests install their own.
class IShellFolders {
public:
    virtual ~IShellFolders() = default;
    // The folder of a CSIDL, without creating it; false when there is none.
    virtual bool GetSpecialFolderPath(int csidl, std::string& path) = 0;
    // Whether a folder is there on this machine (a well-known one, or a profile
    // path to restore); tests answer for folders of machines they only describe.
    virtual bool FolderExists(const std::string& path);
    // Makes a folder with every missing level above it (a restore's target on a
    // new disk); tests record it instead.
    virtual bool CreateFolders(const std::string& path);
};
IShellFolders& ShellFolders();
// nullptr restores the platform default. The provider is not owned.
void SetShellFolders(IShellFolders* provider);

bool DirectoryExists(const std::string& path);
// One level, like CreateDirectoryA: the parent must exist.
bool CreateSingleDirectory(const std::string& path);
// Every missing level, one CreateSingleDirectory each; true when the folder is there.
bool CreateFolderPath(const std::string& path);
bool FileExists(const std::string& path);
// A file name as Windows compares names: two names with equal keys are one name.
std::string FileNameKey(std::string_view name);
// Folder of the running program, without a trailing separator.
std::string ExecutableFolder();
// Tests; "" restores the default.
void SetExecutableFolder(const std::string& folder);
// Replaces `target` by `source` in one step, durably; raises EWriteError naming
// the files and the system's reason. `target` is untouched on failure.
void ReplaceFileAtomic(const std::string& source, const std::string& target);
// Removes a file; false when it could not (missing is not an error to report).
bool DeleteFileIfExists(const std::string& path);

#ifdef _WIN32
// The file-system path of a shell item (an ITEMIDLIST) in UTF-8, at any length;
// empty for a virtual folder.
std::string PathOfShellItem(const void* idList);
#endif

// The file form of a record: a plain file holding that one record, without the
// zlib wrapper of Data.dat.
template <typename T> void SaveRecordToFile(const T& object, const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmCreate);
    object.SaveToStream(file);
    file.Close();
}
template <typename T> void LoadRecordFromFile(T& object, const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    object.LoadFromStream(file);
}

// What only the platform halves can do, for the portable half and the engine.
namespace platform {
// SHGetSpecialFolderPathW on Windows; knows no folders elsewhere.
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
} // namespace platform

} // namespace kal
