// Adapter enumeration from the DRM render nodes in sysfs.

#include "media/gpu_platform.h"

#include <fmt/format.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>

namespace krel::platform {
namespace {

std::string readLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

uint32_t readHex(const std::filesystem::path& file) {
    const std::string text = readLine(file);
    return text.empty() ? 0 : static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

} // namespace

std::vector<AdapterNode> enumerateAdapters(const std::filesystem::path& sysClassDrm,
                                           const std::filesystem::path& devDri) {
    static const std::regex kRenderNode("renderD([0-9]+)");
    std::vector<std::pair<int, AdapterNode>> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(sysClassDrm, ec)) {
        const std::string nodeName = entry.path().filename().string();
        std::smatch m;
        if (!std::regex_match(nodeName, m, kRenderNode)) continue;
        const std::filesystem::path dev = entry.path() / "device";
        const uint32_t vendor = readHex(dev / "vendor");
        if (vendor == 0) continue; // no PCI device behind it: a virtual software node
        const uint32_t device = readHex(dev / "device");
        std::error_code linkEc;
        std::string driver = std::filesystem::read_symlink(dev / "driver", linkEc).filename().string();
        if (driver.empty()) driver = "drm";

        AdapterNode node;
        node.devicePath = (devDri / nodeName).string();
        node.name = fmt::format("{} [{:04x}:{:04x}]", driver, vendor, device);
        node.vendorId = vendor;
        // "major:minor" of the node, as the identity of the adapter.
        const std::string majorMinor = readLine(entry.path() / "dev");
        unsigned major = 0, minor = 0;
        if (std::sscanf(majorMinor.c_str(), "%u:%u", &major, &minor) == 2)
            node.luid = makedev(major, minor);
        else
            node.luid = static_cast<uint64_t>(std::stoul(m[1].str()));
        found.emplace_back(std::stoi(m[1].str()), std::move(node));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<AdapterNode> nodes;
    for (auto& f : found) nodes.push_back(std::move(f.second));
    return nodes;
}

} // namespace krel::platform
