// RSync.exe for Wine: lets Kalvaren's Windows build drive the host's rsync.
//
// Takes the command line Kalvaren builds, maps /cygdrive/<L>/... and <L>:/...
// arguments to the Unix folders of Wine's drives, runs the host rsync through a
// shell script (see BridgeScript.h) and relays rsync's output and error text to its
// own, separately and as they arrive, then exits with rsync's exit code.
// A development and test tool only: on Windows, Bin\RSync.exe is a real rsync build.
#include "BridgeScript.h"
#include "CygwinArgv.h"
#include "DriveMap.h"
#include "WideText.h"

#include <windows.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace kal::rsynctools;
using namespace std::chrono_literals;

constexpr auto RelayInterval = 20ms;
constexpr auto HeartbeatInterval = 100ms;
constexpr auto StartTimeout = 20s;
constexpr auto LivenessInterval = 500ms;

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

void Fail(const std::string& message) {
    const std::string text = "RSync bridge: " + message + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

// Wine's own export; real Windows has none, and there the bridge has no job.
using UnixNameFn = char*(CDECL*)(const WCHAR*);

UnixNameFn WineUnixName() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<UnixNameFn>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
                  : nullptr;
}

std::optional<std::string> UnixPath(UnixNameFn unixName, const std::wstring& windowsPath) {
    char* name = unixName(windowsPath.c_str());
    if (!name)
        return std::nullopt;
    std::string result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadSmallFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return {};
    char buffer[512];
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
        return {};
    return std::string(buffer, got);
}

// The script's shell is a Linux process: Wine gives no handle to wait on, but
// Z: shows /proc.
bool UnixProcessAlive(const std::string& pid) {
    const std::string stat = ReadSmallFile(L"Z:\\proc\\" + Wide(pid) + L"\\stat");
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size())
        return false;
    const char state = stat[paren + 2];
    return state != 'Z' && state != 'X';
}

class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH + 1];
        const DWORD length = GetTempPathW(MAX_PATH + 1, base);
        if (length == 0 || length > MAX_PATH)
            return;
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            std::wstring candidate =
                std::wstring(base) + L"kal-rsync-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(attempt);
            if (CreateDirectoryW(candidate.c_str(), nullptr)) {
                FPath = std::move(candidate);
                return;
            }
            if (GetLastError() != ERROR_ALREADY_EXISTS)
                return;
        }
    }
    ~TempFolder() {
        if (!FPath.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(std::filesystem::path(FPath), ignored);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool Valid() const { return !FPath.empty(); }
    const std::wstring& Path() const { return FPath; }
    std::wstring File(const char* name) const { return FPath + L"\\" + Wide(name); }

private:
    std::wstring FPath;
};

// Recreates the heartbeat file the script's watchdog keeps removing. Its own
// thread, so that a relay blocked on a full pipe does not look like a dead bridge.
class Heartbeat {
public:
    explicit Heartbeat(std::wstring path) : FPath(std::move(path)) {
        Touch();
        FThread = std::thread([this] {
            while (!FStop.load()) {
                Touch();
                std::this_thread::sleep_for(HeartbeatInterval);
            }
        });
    }
    ~Heartbeat() { Stop(); }
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    void Stop() {
        FStop.store(true);
        if (FThread.joinable())
            FThread.join();
        DeleteFileW(FPath.c_str());
    }

private:
    void Touch() {
        UniqueHandle file(CreateFileW(FPath.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, 0, nullptr));
    }

    std::wstring FPath;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// The Wine drives in a Cygwin program's terms, for the splitting of the command line:
// /cygdrive/<l>/... is drive L, //server/share/... a share, D:\... and relative
// paths are taken as they are; other absolute paths (Cygwin's own tree) do not exist.
class TWineFiles final : public ICygwinFiles {
public:
    std::optional<std::vector<std::string>> List(const std::string& folder) override {
        if (IsCygdrive(folder)) {
            std::vector<std::string> letters;
            const DWORD drives = GetLogicalDrives();
            for (char letter = 'a'; letter <= 'z'; ++letter)
                if (drives & (1u << (letter - 'a')))
                    letters.emplace_back(1, letter);
            return letters;
        }
        auto path = WindowsPath(folder);
        if (!path)
            return std::nullopt;
        while (path->size() > 3 && path->back() == L'\\')
            path->pop_back();
        WIN32_FIND_DATAW found{};
        HANDLE find =
            FindFirstFileW((*path + (path->back() == L'\\' ? L"*" : L"\\*")).c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            return std::nullopt;
        std::vector<std::string> names;
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(Utf8(name));
        } while (FindNextFileW(find, &found));
        FindClose(find);
        return names;
    }
    bool Exists(const std::string& path) override {
        const auto windows = WindowsPath(path);
        return IsCygdrive(path) ||
               (windows && GetFileAttributesW(windows->c_str()) != INVALID_FILE_ATTRIBUTES);
    }
    std::optional<std::string> Read(const std::string& path) override {
        const auto windows = WindowsPath(path);
        if (!windows)
            return std::nullopt;
        UniqueHandle file(CreateFileW(windows->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE)
            return std::nullopt;
        std::string contents;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
            contents.append(buffer, got);
        return contents;
    }
    std::string Home() override {
        wchar_t profile[MAX_PATH] = {};
        const DWORD n = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
        if (n == 0 || n >= MAX_PATH || profile[1] != L':')
            return "/";
        std::string home =
            "/cygdrive/" + std::string(1, static_cast<char>(std::tolower(profile[0])));
        for (const char c : Utf8(profile + 2))
            home += c == '\\' ? '/' : c;
        return home;
    }

private:
    static bool IsCygdrive(std::string path) {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        return path == "/cygdrive";
    }
    static std::optional<std::wstring> WindowsPath(const std::string& path) {
        std::string windows;
        if (path.starts_with("/cygdrive/") && path.size() > 10 &&
            std::isalpha(static_cast<unsigned char>(path[10])) &&
            (path.size() == 11 || path[11] == '/'))
            windows =
                path.substr(10, 1) + ":\\" + path.substr(std::min<std::size_t>(path.size(), 12));
        else if (path.starts_with("//") || (!path.empty() && path[0] != '/'))
            windows = path.empty() ? "." : path;
        else
            return std::nullopt;
        for (char& c : windows)
            c = c == '/' ? '\\' : c;
        return Wide(windows);
    }
};

// Copies what rsync appended to one file since the last call.
class Relay {
public:
    Relay(const std::wstring& path, DWORD stdHandle)
        : FSource(CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, 0, nullptr)),
          FTarget(GetStdHandle(stdHandle)) {}

    bool Valid() const { return FSource.get() != INVALID_HANDLE_VALUE; }
    // False once the reader of our output has gone away.
    bool Lost() const { return FLost; }

    void Pump() {
        char buffer[65536];
        DWORD got = 0;
        while (ReadFile(FSource.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
            Write(buffer, got);
    }

private:
    void Write(const char* data, DWORD size) {
        if (FLost || !FTarget || FTarget == INVALID_HANDLE_VALUE)
            return;
        while (size > 0) {
            DWORD written = 0;
            if (!WriteFile(FTarget, data, size, &written, nullptr)) {
                const DWORD error = GetLastError();
                FLost = error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
                        error == ERROR_PIPE_NOT_CONNECTED;
                return;
            }
            data += written;
            size -= written;
        }
    }

    UniqueHandle FSource;
    HANDLE FTarget;
    bool FLost = false;
};

int Run() {
    const UnixNameFn unixName = WineUnixName();
    if (!unixName) {
        Fail("this bridge runs only under Wine; install a Windows rsync build as Bin\\RSync.exe");
        return 1;
    }

    // Split as the Cygwin runtime of a Windows rsync would split it, so that what
    // rsync receives here is what it would receive there.
    TWineFiles files;
    wchar_t cygwin[256] = {};
    GetEnvironmentVariableW(L"CYGWIN", cygwin, 256);
    std::vector<std::string> args = SplitCygwinCommandLine(
        Utf8(GetCommandLineW()), files,
        std::wstring_view(cygwin).find(L"noglob") == std::wstring_view::npos);
    if (!args.empty())
        args.erase(args.begin());

    std::vector<std::string> mapped;
    try {
        mapped = MapArguments(args, [&](char letter) {
            return UnixPath(unixName, std::wstring(1, static_cast<wchar_t>(letter)) + L":\\");
        });
    } catch (const EDriveNotMapped& e) {
        Fail(e.what());
        return 1;
    }

    TempFolder folder;
    if (!folder.Valid()) {
        Fail("cannot create a temporary folder");
        return 1;
    }
    const std::optional<std::string> unixFolder = UnixPath(unixName, folder.Path());
    Relay out(folder.File(BridgeOutFile), STD_OUTPUT_HANDLE);
    Relay err(folder.File(BridgeErrFile), STD_ERROR_HANDLE);
    if (!unixFolder || !out.Valid() || !err.Valid()) {
        Fail("cannot prepare the temporary folder");
        return 1;
    }
    std::string folderPath = *unixFolder;
    while (folderPath.size() > 1 && folderPath.back() == '/')
        folderPath.pop_back();

    std::string rsync = "/usr/bin/rsync";
    if (const char* custom = std::getenv("KAL_RSYNC"); custom && *custom)
        rsync = custom;
    const std::string script = BridgeScript(folderPath, rsync, mapped);
    {
        UniqueHandle file(CreateFileW(folder.File(BridgeScriptFile).c_str(), GENERIC_WRITE, 0,
                                      nullptr, CREATE_NEW, 0, nullptr));
        DWORD written = 0;
        if (file.get() == INVALID_HANDLE_VALUE ||
            !WriteFile(file.get(), script.data(), static_cast<DWORD>(script.size()), &written,
                       nullptr) ||
            written != script.size()) {
            Fail("cannot write the rsync script");
            return 1;
        }
    }

    Heartbeat heartbeat(folder.File(BridgeHeartbeatFile));
    std::wstring commandLine =
        L"Z:\\bin\\sh \"" + Wide(folderPath + "/" + BridgeScriptFile) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        Fail("cannot start /bin/sh (error " + std::to_string(GetLastError()) + ")");
        return 1;
    }
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);

    const std::wstring codeFile = folder.File(BridgeCodeFile);
    const std::wstring pidFile = folder.File(BridgePidFile);
    const auto started = std::chrono::steady_clock::now();
    auto lastCheck = started;
    std::string pid;
    for (;;) {
        const bool finished = Exists(codeFile);
        out.Pump();
        err.Pump();
        if (finished)
            break;
        if (out.Lost() || err.Lost())
            heartbeat.Stop(); // like a real rsync whose output pipe broke: stop it
        const auto now = std::chrono::steady_clock::now();
        if (now - lastCheck >= LivenessInterval) {
            lastCheck = now;
            if (pid.empty()) {
                pid = ReadSmallFile(pidFile);
                while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r'))
                    pid.pop_back();
                if (pid.empty() && now - started > StartTimeout) {
                    Fail("the rsync script did not start");
                    return 1;
                }
            } else if (!UnixProcessAlive(pid) && !Exists(codeFile)) {
                out.Pump();
                err.Pump();
                Fail("rsync was stopped before it reported an exit code");
                return 1;
            }
        }
        std::this_thread::sleep_for(RelayInterval);
    }
    heartbeat.Stop();
    const int code = ParseExitCode(ReadSmallFile(codeFile));
    if (code < 0) {
        Fail("rsync's exit code is unreadable");
        return 1;
    }
    return code;
}

} // namespace

int main() {
    try {
        return Run();
    } catch (const std::exception& e) {
        Fail(e.what());
        return 1;
    }
}
