#include "output_recorder.h"

#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#include <unistd.h>
#endif

namespace kal::test {

std::intptr_t TOutputRecorder::Record(unsigned message, std::uintptr_t wParam,
                                      std::intptr_t lParam) {
    TRecordedMessage record;
    record.Message = message;
    record.LParam = lParam;
    record.At = std::chrono::steady_clock::now();
    if (message == WM_CONSOLE_OUTPUT || message == WM_CONSOLE_ERROR) {
        auto* text = reinterpret_cast<char*>(wParam);
        record.TextSize = std::strlen(text);
        if (!FCountOnly) {
            record.Text.assign(text, record.TextSize);
            // The text is ours to change: scribble over it as the terminal does, so a
            // runner that reused it unprepared would show garbage in the next message.
            std::memset(text, '#', record.TextSize);
        }
    }
    std::lock_guard lock(FLock);
    FBytes += record.TextSize;
    if (!FCountOnly)
        FMessages.push_back(std::move(record));
    return 0;
}

std::vector<TRecordedMessage> TOutputRecorder::Messages() const {
    std::lock_guard lock(FLock);
    return FMessages;
}

std::string TOutputRecorder::Joined(unsigned message) const {
    std::lock_guard lock(FLock);
    std::string joined;
    for (const auto& record : FMessages)
        if (record.Message == message)
            joined += record.Text;
    return joined;
}

std::size_t TOutputRecorder::Count(unsigned message) const {
    std::lock_guard lock(FLock);
    std::size_t count = 0;
    for (const auto& record : FMessages)
        count += record.Message == message ? 1 : 0;
    return count;
}

std::size_t TOutputRecorder::BytesReceived() const {
    std::lock_guard lock(FLock);
    return FBytes;
}

std::string ChildCommand(const std::vector<std::string>& arguments) {
    std::string line;
    line.push_back('"');
    line.append(TestChildPath());
    line.push_back('"');
    for (const auto& argument : arguments) {
        line.append(" \"");
        for (char c : argument) {
            if (c == '"')
                line.push_back('\\');
            line.push_back(c);
        }
        line.push_back('"');
    }
    return line;
}

#ifdef _WIN32

namespace {

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* recorder = reinterpret_cast<TOutputRecorder*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (recorder && (message == WM_CONSOLE_OUTPUT || message == WM_CONSOLE_ERROR ||
                     message == WM_CONSOLE_CLEAR || message == CloseMessage))
        return recorder->Record(message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

struct TOutputRecorder::TImpl {
    HWND Window = nullptr;
    std::unique_ptr<TWindowOutput> Output;
};

TOutputRecorder::TOutputRecorder() : FImpl(std::make_unique<TImpl>()) {
    static const ATOM windowClass = [] {
        WNDCLASSA info{};
        info.lpfnWndProc = RecorderProc;
        info.hInstance = GetModuleHandleA(nullptr);
        info.lpszClassName = "KalvarenTestOutputRecorder";
        return RegisterClassA(&info);
    }();
    FImpl->Window = CreateWindowExA(0, MAKEINTATOM(windowClass), "Recorder", WS_OVERLAPPEDWINDOW, 0,
                                    0, 200, 100, nullptr, nullptr, GetModuleHandleA(nullptr), this);
    FImpl->Output = std::make_unique<TWindowOutput>(FImpl->Window);
}

TOutputRecorder::~TOutputRecorder() {
    if (FImpl->Window) {
        SetWindowLongPtrA(FImpl->Window, GWLP_USERDATA, 0);
        DestroyWindow(FImpl->Window);
    }
}

IProcessOutput* TOutputRecorder::Handle() const {
    return FImpl->Output.get();
}

void ServeMessagesBriefly() {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

std::string TestChildPath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    folder.resize(folder.find_last_of("\\/") + 1);
    return folder + KAL_TESTCHILD_NAME;
}

#else

struct TOutputRecorder::TImpl : TMessageOutput {
    explicit TImpl(TOutputRecorder& owner) : Owner(owner) {}
    void Receive(unsigned message, char* text, std::intptr_t lParam) override {
        Owner.Record(message, reinterpret_cast<std::uintptr_t>(text), lParam);
    }
    TOutputRecorder& Owner;
};

TOutputRecorder::TOutputRecorder() : FImpl(std::make_unique<TImpl>(*this)) {}

TOutputRecorder::~TOutputRecorder() = default;

IProcessOutput* TOutputRecorder::Handle() const {
    return FImpl.get();
}

void ServeMessagesBriefly() {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

std::string TestChildPath() {
    return KAL_TESTCHILD_PATH;
}

#endif

bool TOutputRecorder::WaitUntil(const std::function<bool()>& done,
                                std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        ServeMessagesBriefly();
    }
    return true;
}

void TOutputRecorder::Pump(std::chrono::milliseconds duration) {
    WaitUntil([] { return false; }, duration);
}

std::size_t PlainRead(const std::string& command) {
    char buffer[1024];
    std::size_t total = 0;
#ifdef _WIN32
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0))
        return 0;
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION info{};
    std::string line = command;
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                       nullptr, &startup, &info)) {
        CloseHandle(write);
        write = nullptr;
        DWORD got = 0;
        while (ReadFile(read, buffer, sizeof(buffer), &got, nullptr) && got > 0)
            total += got;
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    if (write)
        CloseHandle(write);
    CloseHandle(read);
#else
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return 0;
    ssize_t got;
    while ((got = ::read(::fileno(pipe), buffer, sizeof(buffer))) > 0)
        total += static_cast<std::size_t>(got);
    ::pclose(pipe);
#endif
    return total;
}

} // namespace kal::test
