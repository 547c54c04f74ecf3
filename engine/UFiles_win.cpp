// Windows half of the file and shell helpers.
#include "UFiles.h"
#include "UStreams.h"
#include "UText.h"

#include <windows.h>
#include <shlobj.h>

namespace kal {

namespace {

class TShellFolders final : public IShellFolders {
public:
    bool GetSpecialFolderPath(int csidl, std::string& path) override {
        // Wide: a folder of MAX_PATH characters may need more UTF-8 bytes than that.
        wchar_t buffer[MAX_PATH] = {};
        if (!SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE))
            return false;
        path = WideToUtf8(buffer);
        return true;
    }
};

DWORD Attributes(const std::string& path) {
    return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
}

} // namespace

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
    return !path.empty() && CreateDirectoryA(path.c_str(), nullptr);
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
