// Stands in for rsync where a test only needs to know which command lines ran
// and in what order: appends its command line to the file named by
// KAL_RECORD_FILE, waits KAL_RECORD_SLEEP_MS, says so on its output, and ends
// with the exit code KAL_RECORD_EXIT (0 without it).
#include <windows.h>

#include <cstdlib>
#include <string>

int main() {
    char file[MAX_PATH] = {};
    if (GetEnvironmentVariableA("KAL_RECORD_FILE", file, sizeof file) > 0) {
        HANDLE f = CreateFileA(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            const std::string line = std::string(GetCommandLineA()) + "\n";
            DWORD written = 0;
            WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(f);
        }
    }
    char sleep[32] = {};
    if (GetEnvironmentVariableA("KAL_RECORD_SLEEP_MS", sleep, sizeof sleep) > 0)
        Sleep(static_cast<DWORD>(std::atoi(sleep)));
    const char text[] = "recorded\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof text - 1, &written, nullptr);
    char exitCode[32] = {};
    GetEnvironmentVariableA("KAL_RECORD_EXIT", exitCode, sizeof exitCode);
    return std::atoi(exitCode);
}
