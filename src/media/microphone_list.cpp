#include "media/microphone_list.h"

#include <algorithm>

namespace krel {

std::vector<MicInfo> buildMicList(const std::vector<MicEndpoint>& endpoints, const std::string& defaultId) {
    std::vector<MicInfo> list;
    list.reserve(endpoints.size());
    for (const auto& e : endpoints) {
        MicInfo info;
        info.id = e.id;
        info.name = e.name.empty() ? "Mikrofon " + std::to_string(e.position) : e.name;
        info.isDefault = !defaultId.empty() && e.id == defaultId;
        list.push_back(std::move(info));
    }
    std::stable_partition(list.begin(), list.end(), [](const MicInfo& m) { return m.isDefault; });
    return list;
}

} // namespace krel
