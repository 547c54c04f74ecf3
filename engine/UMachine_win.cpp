#include "UMachine.h"
#include "USystemTime.h"

#include <windows.h>

namespace kal {

std::string LocalHostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNameDnsFullyQualified, name, &size) || name[0] == '\0')
        return "localhost";
    return name;
}

int LocalUtcOffsetMinutes(TDateTime local) {
    const SYSTEMTIME localTime = ToSystemTime(local);
    SYSTEMTIME utcTime{};
    FILETIME localFile{}, utcFile{};
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &localTime, &utcTime) ||
        !SystemTimeToFileTime(&localTime, &localFile) || !SystemTimeToFileTime(&utcTime, &utcFile))
        return 0;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                      t.dwLowDateTime);
    };
    constexpr long long TicksPerMinute = 60LL * 10'000'000;
    return static_cast<int>((ticks(localFile) - ticks(utcFile)) / TicksPerMinute);
}

} // namespace kal
