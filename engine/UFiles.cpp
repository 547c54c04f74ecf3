// The portable half of the file and shell helpers: the providers tests replace.
#include "UFiles.h"

#include <atomic>
#include <mutex>

namespace kal {

namespace {

std::atomic<IShellFolders*> GShellFolders{nullptr};

std::mutex GExecutableFolderLock;
std::string GExecutableFolder;

} // namespace

IShellFolders& ShellFolders() {
    IShellFolders* provider = GShellFolders.load();
    return provider ? *provider : platform::DefaultShellFolders();
}

void SetShellFolders(IShellFolders* provider) {
    GShellFolders.store(provider);
}

bool IShellFolders::FolderExists(const std::string& path) {
    return DirectoryExists(path);
}

bool IShellFolders::CreateFolders(const std::string& path) {
    return CreateFolderPath(path);
}

bool CreateFolderPath(const std::string& path) {
    std::string folder = path;
    while (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    if (folder.empty() || DirectoryExists(folder))
        return !folder.empty();
    const auto slash = folder.find_last_of("\\/");
    if (slash != std::string::npos && slash > 0)
        CreateFolderPath(folder.substr(0, slash + 1));
    return CreateSingleDirectory(folder) || DirectoryExists(folder);
}

std::string ExecutableFolder() {
    {
        std::lock_guard<std::mutex> lock(GExecutableFolderLock);
        if (!GExecutableFolder.empty())
            return GExecutableFolder;
    }
    return platform::ModuleFolder();
}

void SetExecutableFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(GExecutableFolderLock);
    GExecutableFolder = folder;
}

} // namespace kal
