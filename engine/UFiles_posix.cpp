// POSIX half of the file and shell helpers. The engine speaks Windows paths;
// here a backslash is read as a separator so native tests can use them.
#include "UFiles.h"
#include "UScoped.h"
#include "UStreams.h"
#include "UText.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kal {

namespace {

std::string Native(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

class TNoShellFolders final : public IShellFolders {
public:
    bool GetSpecialFolderPath(int, std::string&) override { return false; }
};

// The rename itself is durable only once the folder holding it is on disk.
void SyncFolderOf(const std::string& file) {
    const auto slash = file.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

namespace platform {

IShellFolders& DefaultShellFolders() {
    static TNoShellFolders none;
    return none;
}

std::string ModuleFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return ".";
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(Native(path).c_str(), &st) == 0;
}

bool MoveWithoutReplacing(const std::string& from, const std::string& to, std::string& error) {
    // A second name, then the first one goes: link refuses a name that is taken.
    const std::string source = Native(from), target = Native(to);
    if (::link(source.c_str(), target.c_str()) == 0) {
        ::unlink(source.c_str());
        SyncFolderOf(target);
        return true;
    }
    error = SystemErrorText(errno);
    return false;
}

bool CopyWithoutReplacing(const std::string& from, const std::string& to, std::string& error) {
    const unique_fd in(::open(Native(from).c_str(), O_RDONLY | O_CLOEXEC));
    const unique_fd out(
        in ? ::open(Native(to).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644) : -1);
    if (!in || !out) {
        error = SystemErrorText(errno);
        return false;
    }
    const auto writeAll = [&](const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(out.get(), data, size);
            if (n < 0)
                return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    };
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(in.get(), buffer, sizeof buffer)) > 0)
        if (!writeAll(buffer, static_cast<std::size_t>(got)))
            break;
    if (got != 0 || ::fsync(out.get()) != 0) {
        error = SystemErrorText(errno);
        return false;
    }
    return true;
}

} // namespace platform

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateSingleDirectory(const std::string& path) {
    return !path.empty() && ::mkdir(Native(path).c_str(), 0777) == 0;
}

std::string FileNameKey(std::string_view name) {
    // Only the native tests come here; ASCII letters stand for the rest.
    std::string key(name);
    for (char& c : key)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return key;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(Native(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void ReplaceFileAtomic(const std::string& source, const std::string& target) {
    const std::string to = Native(target);
    if (::rename(Native(source).c_str(), to.c_str()) != 0)
        throw EWriteError("Cannot replace file \"" + target + "\". " + std::strerror(errno));
    SyncFolderOf(to);
}

bool DeleteFileIfExists(const std::string& path) {
    return ::unlink(Native(path).c_str()) == 0 || errno == ENOENT;
}

} // namespace kal
