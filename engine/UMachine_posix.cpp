#include "UMachine.h"

#include <ctime>

#include <unistd.h>

namespace kal {

std::string LocalHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

int LocalUtcOffsetMinutes(TDateTime local) {
    const TDateTimeParts parts = DecodeDateTime(local);
    std::tm fields{};
    fields.tm_year = parts.Year - 1900;
    fields.tm_mon = parts.Month - 1;
    fields.tm_mday = parts.Day;
    fields.tm_hour = parts.Hour;
    fields.tm_min = parts.Minute;
    fields.tm_sec = parts.Second;
    fields.tm_isdst = -1; // let the zone rules decide
    if (std::mktime(&fields) == static_cast<std::time_t>(-1))
        return 0;
    return static_cast<int>(fields.tm_gmtoff / 60);
}

} // namespace kal
