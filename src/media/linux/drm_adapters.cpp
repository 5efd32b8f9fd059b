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

// The PCI address of a device folder: PCI_SLOT_NAME of its uevent, else the
// name of the folder the device link points to.
std::string pciBusId(const std::filesystem::path& dev) {
    std::ifstream in(dev / "uevent");
    std::string line;
    std::string id;
    while (std::getline(in, line))
        if (line.rfind("PCI_SLOT_NAME=", 0) == 0) id = line.substr(14);
    if (id.empty()) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(dev, ec);
        if (!ec && std::regex_match(target.filename().string(), std::regex("[0-9a-fA-F]{4}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}\\.[0-7]")))
            id = target.filename().string();
    }
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return id;
}

} // namespace

int cudaOrdinal(const std::vector<AdapterNode>& nodes, const AdapterNode& node) {
    std::vector<const AdapterNode*> nvidia;
    for (const auto& n : nodes)
        if (n.vendorId == kVendorNvidia) nvidia.push_back(&n);
    std::stable_sort(nvidia.begin(), nvidia.end(), [](const AdapterNode* a, const AdapterNode* b) {
        if (a->pciBusId.empty() != b->pciBusId.empty()) return b->pciBusId.empty();
        return a->pciBusId < b->pciBusId;
    });
    for (size_t i = 0; i < nvidia.size(); ++i)
        if (nvidia[i]->luid == node.luid) return static_cast<int>(i);
    return 0;
}

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
        node.pciBusId = pciBusId(dev);
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
