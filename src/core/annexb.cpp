#include "core/annexb.h"

namespace krel {
namespace {

// Index of the first byte after the next start code at or after `from`, or
// payload.size() when there is none. `codeStart` receives where the start
// code itself begins.
size_t nextUnitStart(std::span<const uint8_t> p, size_t from, size_t& codeStart) {
    for (size_t i = from; i + 2 < p.size(); ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            codeStart = i;
            return i + 3;
        }
    }
    codeStart = p.size();
    return p.size();
}

bool isParameterSet(uint8_t header, bool hevc) {
    if (hevc) {
        const int type = (header >> 1) & 0x3F;
        return type >= 32 && type <= 34;
    }
    const int type = header & 0x1F;
    return type == 7 || type == 8;
}

} // namespace

std::vector<std::span<const uint8_t>> splitNalUnits(std::span<const uint8_t> payload) {
    std::vector<std::span<const uint8_t>> units;
    size_t codeStart = 0;
    size_t begin = nextUnitStart(payload, 0, codeStart);
    while (begin < payload.size()) {
        size_t nextCode = 0;
        const size_t nextBegin = nextUnitStart(payload, begin, nextCode);
        size_t end = nextCode;
        // A 4-byte start code's leading zero, and any other trailing zero
        // bytes, belong to no unit.
        while (end > begin && payload[end - 1] == 0) --end;
        if (end > begin) units.push_back(payload.subspan(begin, end - begin));
        begin = nextBegin;
    }
    return units;
}

std::vector<uint8_t> extractParameterSets(std::span<const uint8_t> payload, bool hevc) {
    static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
    std::vector<uint8_t> out;
    for (auto unit : splitNalUnits(payload)) {
        if (!isParameterSet(unit[0], hevc)) continue;
        out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

} // namespace krel
