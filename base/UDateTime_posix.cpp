#include "UDateTime.h"

#include <ctime>
#include <sys/time.h>

namespace kal {

TDateTime Now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm local{};
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &local);
    return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                          static_cast<int>(tv.tv_usec / 1000));
}

char DateSeparator() {
    return '/';
}
char TimeSeparator() {
    return ':';
}

std::string FormatShortDate(TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", p.Day, p.Month, p.Year);
    return buf;
}

} // namespace kal
