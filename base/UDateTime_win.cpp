#include "USystemTime.h"

namespace kal {

SYSTEMTIME ToSystemTime(TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(p.Year);
    st.wMonth = static_cast<WORD>(p.Month);
    st.wDay = static_cast<WORD>(p.Day);
    st.wHour = static_cast<WORD>(p.Hour);
    st.wMinute = static_cast<WORD>(p.Minute);
    st.wSecond = static_cast<WORD>(p.Second);
    st.wMilliseconds = static_cast<WORD>(p.Millisecond);
    return st;
}

TDateTime FromSystemTime(const SYSTEMTIME& st) {
    return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                          st.wMilliseconds);
}

TDateTime Now() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return FromSystemTime(st);
}

namespace {
char LocaleChar(LCTYPE type, char fallback) {
    char buf[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buf, sizeof buf) > 0 && buf[0] != '\0')
        return buf[0];
    return fallback;
}
} // namespace

char DateSeparator() {
    return LocaleChar(LOCALE_SDATE, '/');
}
char TimeSeparator() {
    return LocaleChar(LOCALE_STIME, ':');
}

std::string FormatShortDate(TDateTime value) {
    const SYSTEMTIME st = ToSystemTime(value);
    char buf[80] = {};
    if (GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buf, sizeof buf) > 0)
        return buf;
    return std::to_string(st.wDay) + "/" + std::to_string(st.wMonth) + "/" +
           std::to_string(st.wYear);
}

} // namespace kal
