// Threads of the program's own, named so that debuggers and crash dumps tell
// them apart.
#pragma once

namespace kal {

// Names the calling thread where the platform allows; elsewhere nothing happens.
void SetCurrentThreadName(const char* name);

} // namespace kal
