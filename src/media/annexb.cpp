#include "media/annexb.h"

namespace krel {

std::vector<std::span<const uint8_t>> splitNalUnits(std::span<const uint8_t> s) {
    std::vector<std::span<const uint8_t>> units;
    const size_t n = s.size();
    size_t i = 0;
    size_t start = SIZE_MAX; // first byte of the current unit
    while (i + 2 < n) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                while (end > start && s[end - 1] == 0) --end; // trailing zeros belong to the next start code
                if (end > start) units.push_back(s.subspan(start, end - start));
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX && start < n) units.push_back(s.subspan(start));
    return units;
}

int nalUnitType(Codec codec, std::span<const uint8_t> nal) {
    if (nal.empty()) return -1;
    return codec == Codec::Hevc ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F;
}

bool isParameterSet(Codec codec, std::span<const uint8_t> nal) {
    const int t = nalUnitType(codec, nal);
    return codec == Codec::Hevc ? (t >= 32 && t <= 34) : (t == 7 || t == 8);
}

bool hasParameterSets(Codec codec, std::span<const uint8_t> stream) {
    bool vps = codec != Codec::Hevc, sps = false, pps = false;
    for (auto nal : splitNalUnits(stream)) {
        const int t = nalUnitType(codec, nal);
        if (codec == Codec::Hevc) {
            vps = vps || t == 32;
            sps = sps || t == 33;
            pps = pps || t == 34;
        } else {
            sps = sps || t == 7;
            pps = pps || t == 8;
        }
    }
    return vps && sps && pps;
}

std::vector<uint8_t> extractParameterSets(Codec codec, std::span<const uint8_t> stream) {
    std::vector<uint8_t> out;
    for (auto nal : splitNalUnits(stream)) {
        if (!isParameterSet(codec, nal)) continue;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

} // namespace krel
