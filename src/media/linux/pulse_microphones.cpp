// listMicrophones over libpulse: every source that is not the monitor of a
// sink, in the server's order.

#include "media/microphone_list.h"

#include "media/linux/pulse_connection.h"

namespace krel {

std::vector<MicInfo> listMicrophones() {
    pulse::PulseConnection conn;
    if (!conn.connect(2000)) return {};
    auto info = conn.serverInfo();
    auto sources = conn.sources();
    if (!sources) return {};

    std::vector<MicEndpoint> endpoints;
    std::string defaultId;
    int position = 0;
    for (const auto& s : *sources) {
        if (s.isMonitor) continue;
        ++position;
        if (s.name.empty()) continue; // cannot be chosen; its position still counts
        endpoints.push_back(MicEndpoint{s.name, s.description, position});
        if (info && s.name == info->defaultSource) defaultId = s.name;
    }
    return buildMicList(endpoints, defaultId);
}

} // namespace krel
