#pragma once
// The list of microphones for the settings page.

#include <string>
#include <vector>

namespace krel {

struct MicInfo {
    std::string id;   // device id, the value of the "micDevice" setting
    std::string name; // display name
    bool isDefault = false;
};

// One capture device as the platform reports it; `position` counts all
// devices from 1, including those that were skipped.
struct MicEndpoint {
    std::string id;
    std::string name; // "" when the device has no display name
    int position = 0;
};

// Names unnamed devices "Mikrofon <position>", marks the default and puts
// default entries first, keeping the order of the others.
std::vector<MicInfo> buildMicList(const std::vector<MicEndpoint>& endpoints, const std::string& defaultId);

// The machine's microphones (monitors of playback devices are not
// microphones). Opens its own connection to the sound server; any thread;
// an empty list when there is no server or no device.
std::vector<MicInfo> listMicrophones();

} // namespace krel
