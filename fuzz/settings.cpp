// Fuzz target: any byte string as "settings.json". parseSettings must give a
// record within every limit, and that record must survive a write and read
// back unchanged.

#include "config/settings.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace {

// Stops the run (libFuzzer saves the input) when a rule is broken.
void check(bool ok) {
    if (!ok) std::abort();
}

std::size_t utf16Units(std::string_view utf8) {
    std::size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++units; // a lead byte starts a character
        if (c >= 0xF0) ++units;          // outside the BMP: a surrogate pair
    }
    return units;
}

void checkLimits(const krel::Settings& s) {
    check(static_cast<uint32_t>(s.mode) <= 2 && static_cast<uint32_t>(s.codec) <= 2);
    check(static_cast<uint32_t>(s.rate) <= 2 && static_cast<uint32_t>(s.scale) <= 4);
    check(static_cast<uint32_t>(s.audio) <= 3);
    check(s.monitorIndex <= 16);
    check(s.outWidth <= 7680 && s.outWidth % 2 == 0);
    check(s.outHeight <= 4320 && s.outHeight % 2 == 0);
    check(s.fps >= 10 && s.fps <= 240);
    check(s.bitrateKbps >= 1000 && s.bitrateKbps <= 150000);
    check(s.qualityPreset <= 4);
    check(s.replaySeconds >= 5 && s.replaySeconds <= 1800);
    check(s.replayMaxMB >= 64 && s.replayMaxMB <= 16384);
    check(s.gameVolume >= 0.0f && s.gameVolume <= 2.0f);
    check(s.micVolume >= 0.0f && s.micVolume <= 2.0f);
    for (const auto* hk : {&s.hkClip, &s.hkRecord, &s.hkMic, &s.hkReplay, &s.hkPause, &s.hkOverlay})
        check(hk->mods <= 15 && hk->vk <= 254);
    check(utf16Units(s.micDevice) <= 512);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Unreadable inputs are logged; keep that out of the user's data folder
    // when the target is started by hand.
    if (!std::getenv("KREL_PLAY_DATA_DIR")) {
        const auto dir = std::filesystem::temp_directory_path() / "krel-fuzz-data";
        ::setenv("KREL_PLAY_DATA_DIR", dir.c_str(), 1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    krel::Settings settings;
    krel::parseSettings(settings, text);
    checkLimits(settings);

    krel::Settings back;
    krel::parseSettings(back, krel::settingsToJson(settings));
    check(back == settings);
    return 0;
}
