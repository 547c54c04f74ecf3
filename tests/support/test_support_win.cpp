#include "test_support.h"
#include "child_platform.h"
#include "WideText.h"

#include <winsock2.h>
#include <windows.h>

#include <stdexcept>

namespace kal::test {

namespace {

using kal::rsynctools::Wide;

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": error " + std::to_string(GetLastError()));
}

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : FHandle(h) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return FHandle; }
    HANDLE* Out() { return &FHandle; }
    void Close() {
        if (FHandle && FHandle != INVALID_HANDLE_VALUE)
            CloseHandle(FHandle);
        FHandle = nullptr;
    }

private:
    HANDLE FHandle;
};

// The command-line quoting that CommandLineToArgvW undoes.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::wstring EnvironmentBlock(const Environment& env) {
    std::wstring block;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* v = current; *v; v += wcslen(v) + 1) {
        const std::wstring entry(v);
        const std::wstring name = entry.substr(0, entry.find(L'=', 1));
        bool replaced = false;
        for (const auto& [key, value] : env)
            replaced = replaced || _wcsicmp(Wide(key).c_str(), name.c_str()) == 0;
        if (!replaced) {
            block.append(entry);
            block.push_back(L'\0');
        }
    }
    FreeEnvironmentStringsW(current);
    for (const auto& [key, value] : env) {
        block.append(Wide(key));
        block.push_back(L'=');
        block.append(Wide(value));
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

class WinChild : public ChildProcess::Platform {
public:
    WinChild(const std::string& commandLine, const Environment& env) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        Handle outWrite, errWrite;
        if (!CreatePipe(FOut.Out(), outWrite.Out(), &inherit, 0) ||
            !CreatePipe(FErr.Out(), errWrite.Out(), &inherit, 0))
            throw SystemError("CreatePipe");
        SetHandleInformation(FOut.Get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(FErr.Get(), HANDLE_FLAG_INHERIT, 0);
        Handle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr));

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        startup.hStdInput = input.Get();
        startup.hStdOutput = outWrite.Get();
        startup.hStdError = errWrite.Get();
        std::wstring line = Wide(commandLine);
        std::wstring block = EnvironmentBlock(env);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                            CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, block.data(), nullptr,
                            &startup, &info))
            throw SystemError("cannot start " + commandLine);
        *FProcess.Out() = info.hProcess;
        CloseHandle(info.hThread);
    }

    std::size_t Read(Stream stream, char* buffer, std::size_t size) override {
        DWORD got = 0;
        if (!ReadFile((stream == Stream::Out ? FOut : FErr).Get(), buffer, static_cast<DWORD>(size),
                      &got, nullptr))
            return 0;
        return got;
    }

    bool Running() override { return WaitForSingleObject(FProcess.Get(), 0) == WAIT_TIMEOUT; }

    int Wait() override {
        WaitForSingleObject(FProcess.Get(), INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(FProcess.Get(), &code);
        return static_cast<int>(code);
    }

    void Terminate() override { TerminateProcess(FProcess.Get(), 1); }
    void Kill() override { TerminateProcess(FProcess.Get(), 1); }

private:
    Handle FOut, FErr, FProcess;
};

} // namespace

std::unique_ptr<ChildProcess::Platform> StartChild(const std::vector<std::string>& argv,
                                                   const Environment& env) {
    std::string line;
    for (const std::string& arg : argv) {
        if (!line.empty())
            line.push_back(' ');
        line.append(QuoteArgument(arg));
    }
    return std::make_unique<WinChild>(line, env);
}

std::unique_ptr<ChildProcess::Platform> StartChild(const RawCommandLine& commandLine,
                                                   const Environment& env) {
    return std::make_unique<WinChild>(commandLine.Text, env);
}

std::string HostVariable(const char* name) {
    const std::wstring wide = Wide(name);
    const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(wide.c_str(), value.data(), size));
    return kal::rsynctools::Utf8(value); // host paths are UTF-8
}

unsigned short FreePort() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("WSAStartup failed");
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    const bool bound = s != INVALID_SOCKET &&
                       bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                       getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (s != INVALID_SOCKET)
        closesocket(s);
    WSACleanup();
    if (!bound)
        throw std::runtime_error("bind 127.0.0.1:0 failed");
    return ntohs(address.sin_port);
}

// Wine's own export; on Windows there is no host to translate from.
fs::path FromHostPath(const std::string& hostPath) {
    using DosNameFn = WCHAR*(CDECL*)(const char*);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto dosName = reinterpret_cast<DosNameFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")));
    if (!dosName)
        throw std::runtime_error("FromHostPath: not running under Wine");
    WCHAR* name = dosName(hostPath.c_str());
    if (!name)
        throw std::runtime_error("FromHostPath: no Wine path for " + hostPath);
    fs::path result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

fs::path BridgePath() {
    return FromHostPath(KAL_BRIDGE_PATH);
}

} // namespace kal::test
