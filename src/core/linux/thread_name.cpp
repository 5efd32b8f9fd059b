#include "core/thread_name.h"

#include <pthread.h>

#include <cstring>

namespace krel {

void nameThisThread(const char* name) noexcept {
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
}

} // namespace krel
