// Windows half of the file and shell helpers.
#include "UFiles.h"
#include "UScoped.h"
#include "UStreams.h"
#include "UText.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

namespace kal {

namespace {

class TShellFolders final : public IShellFolders {
public:
    bool GetSpecialFolderPath(int csidl, std::string& path) override {
        // Wide: a folder of MAX_PATH characters may need more UTF-8 bytes than that.
        wchar_t buffer[MAX_PATH] = {};
        if (SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE)) {
            path = WideToUtf8(buffer);
            return true;
        }
        // A folder deeper than that: through its shell item, whose path has no
        // length limit. The desktop's item is the shell's root; its folder is the
        // desktop directory. Only then: under Wine the shell's namespace, once up,
        // keeps the prefix busy after the program has ended.
        PIDLIST_ABSOLUTE item = nullptr;
        const int folder = csidl == CSIDL_DESKTOP ? CSIDL_DESKTOPDIRECTORY : csidl;
        if (FAILED(SHGetFolderLocation(nullptr, folder, nullptr, 0, &item)) || !item)
            return false;
        const unique_cotaskmem owner(item);
        path = PathOfShellItem(item);
        // Wine names the documents folder with a trailing separator.
        while (path.size() > 3 && path.back() == '\\')
            path.pop_back();
        return !path.empty();
    }
};

// A user's path for the wide calls; from near MAX_PATH on in the "\\?\" form,
// which Windows takes at any length whether or not long paths are enabled there.
std::wstring WidePath(const std::string& path) {
    std::wstring wide = Utf8ToWide(path);
    if (wide.size() < MAX_PATH - 12 || wide.starts_with(L"\\\\?\\"))
        return wide;
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    if (wide.size() > 2 && wide[1] == L':' && wide[2] == L'\\')
        return L"\\\\?\\" + wide;
    if (wide.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + wide.substr(2);
    return wide;
}

DWORD Attributes(const std::string& path) {
    return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(WidePath(path).c_str());
}

std::string ShellName(PCIDLIST_ABSOLUTE item, SIGDN form) {
    PWSTR name = nullptr;
    if (FAILED(SHGetNameFromIDList(item, form, &name)) || !name)
        return {};
    const unique_cotaskmem owner(name);
    return WideToUtf8(name);
}

} // namespace

std::string PathOfShellItem(const void* idList) {
    const auto item = static_cast<PCIDLIST_ABSOLUTE>(idList);
    if (!item)
        return {};
    // Wine's shell cuts the whole path at MAX_PATH - 1 characters, without an error.
    if (std::string path = ShellName(item, SIGDN_FILESYSPATH);
        !path.empty() && Utf8ToWide(path).size() < MAX_PATH - 1)
        return path;
    // Past that: the folder's path and the item's own name, when that names
    // something there. A virtual item has no path.
    const unique_cotaskmem folder(ILClone(item));
    if (ILIsEmpty(item) || !folder || !ILRemoveLastID(static_cast<PIDLIST_RELATIVE>(folder.get())))
        return {};
    const std::string parent = PathOfShellItem(folder.get());
    const std::string name = ShellName(item, SIGDN_PARENTRELATIVEPARSING);
    if (parent.empty() || name.empty() || name.starts_with("::") ||
        name.find_first_of("\\/") != std::string::npos)
        return {};
    std::string path = parent + (parent.back() == '\\' ? "" : "\\") + name;
    return platform::PathExists(path) ? path : std::string();
}

namespace platform {

IShellFolders& DefaultShellFolders() {
    static TShellFolders shell;
    return shell;
}

std::string ModuleFolder() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return ".";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool PathExists(const std::string& path) {
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool MoveWithoutReplacing(const std::string& from, const std::string& to, std::string& error) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return true;
    error = SystemErrorText(static_cast<int>(GetLastError()));
    return false;
}

bool CopyWithoutReplacing(const std::string& from, const std::string& to, std::string& error) {
    if (CopyFileA(from.c_str(), to.c_str(), TRUE))
        return true;
    error = SystemErrorText(static_cast<int>(GetLastError()));
    return false;
}

} // namespace platform

bool DirectoryExists(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateSingleDirectory(const std::string& path) {
    return !path.empty() && CreateDirectoryW(WidePath(path).c_str(), nullptr);
}

std::string FileNameKey(std::string_view name) {
    // The invariant upper case is the one NTFS compares names by.
    const std::wstring wide = Utf8ToWide(name);
    std::wstring upper(wide.size(), L'\0');
    const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(),
                                static_cast<int>(wide.size()), upper.data(),
                                static_cast<int>(upper.size()), nullptr, nullptr, 0);
    return n > 0 ? WideToUtf8(std::wstring_view(upper.data(), static_cast<std::size_t>(n)))
                 : std::string(name);
}

bool FileExists(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

void ReplaceFileAtomic(const std::string& source, const std::string& target) {
    if (!MoveFileExA(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw EWriteError("Cannot replace file \"" + target + "\". " +
                          SystemErrorText(static_cast<int>(GetLastError())));
}

bool DeleteFileIfExists(const std::string& path) {
    return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

} // namespace kal
