// The program's date-time values as Windows' SYSTEMTIME, for the Win32 calls that
// take or give one (date pickers, regional formats, time zones).
#pragma once

#include "UDateTime.h"

#include <windows.h>

namespace kal {

// The calendar fields, to the millisecond.
SYSTEMTIME ToSystemTime(TDateTime value);
// Raises std::invalid_argument for fields outside the calendar.
TDateTime FromSystemTime(const SYSTEMTIME& value);

} // namespace kal
