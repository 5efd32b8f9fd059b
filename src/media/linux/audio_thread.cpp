#include "media/audio_thread.h"

#include <pthread.h>

#include <cstring>
#include <string>

namespace krel {

void prepareAudioThread(const char* name) noexcept {
    // Linux limits thread names to 15 characters.
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
}

} // namespace krel
