// The two facts of the machine that a mail message carries: its network host
// name and its time zone offset.
#pragma once

#include "UDateTime.h"

#include <string>

namespace kal {

// The computer's network host name ("localhost" when it has none).
std::string LocalHostName();

// Minutes to add to UTC to get the local time at the given local moment.
int LocalUtcOffsetMinutes(TDateTime local);

} // namespace kal
