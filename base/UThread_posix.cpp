#include "UThread.h"

#include <pthread.h>

#include <cstring>

namespace kal {

void SetCurrentThreadName(const char* name) {
    // Linux takes at most 15 characters and refuses longer names outright.
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
}

} // namespace kal
