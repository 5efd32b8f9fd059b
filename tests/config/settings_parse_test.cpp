// Reading settings JSON key by key: types, ranges, defaults, enumerations,
// hotkeys, texts; and writing every field so that it reads back the same.

#include "config/settings.h"
#include "config_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>

namespace krel::test {
namespace {

Settings parsed(const std::string& json, Settings start = {}) {
    parseSettings(start, json);
    return start;
}

// A record in which every field differs from its default.
Settings everythingChanged() {
    Settings s;
    s.mode = CaptureMode::Window;
    s.monitorIndex = 3;
    s.windowTitle = "Spiel – \"Größe\" \\ 🎮";
    s.captureCursor = true;
    s.outWidth = 1920;
    s.outHeight = 1080;
    s.fps = 144;
    s.codec = VideoCodec::Av1;
    s.rate = RateControl::Cqp;
    s.bitrateKbps = 80000;
    s.qualityPreset = 4;
    s.scale = ScaleMode::Crop;
    s.replayEnabled = false;
    s.replaySeconds = 300;
    s.replayMaxMB = 4096;
    s.audio = AudioMix::GameOnly;
    s.micEnabled = false;
    s.micMuted = true;
    s.gameVolume = 0.123456789f;
    s.micVolume = 1.9999999f;
    s.separateTracks = true;
    s.clipDir = "/home/nutzer/Videos/Clips ä";
    s.hkClip = {3, 65};
    s.hkRecord = {2, 66};
    s.hkMic = {4, 67};
    s.hkReplay = {8, 68};
    s.hkPause = {15, 254};
    s.hkOverlay = {0, 0};
    s.autostart = false;
    s.autoUpdate = false;
    s.sounds = false;
    s.replayRestartAfterClip = false;
    s.micDevice = "{0.0.1.00000000}.{b3f8fa53-0004-438e-9003-51a46e139bfc}";
    s.micMono = false;
    return s;
}

struct NumericKey {
    const char* key;
    uint32_t Settings::*field;
    uint32_t low, high, fallback;
};

const NumericKey kNumericKeys[] = {
    {"monitorIndex", &Settings::monitorIndex, 0, 16, 0},
    {"fps", &Settings::fps, 10, 240, 60},
    {"bitrateKbps", &Settings::bitrateKbps, 1000, 150000, 25000},
    {"qualityPreset", &Settings::qualityPreset, 0, 4, 2},
    {"replaySeconds", &Settings::replaySeconds, 5, 1800, 60},
    {"replayMaxMB", &Settings::replayMaxMB, 64, 16384, 1500},
    {"outWidth", &Settings::outWidth, 0, 7680, 0},
    {"outHeight", &Settings::outHeight, 0, 4320, 0},
};

TEST(SettingsParse, DefaultsAreTheTable) {
    const Settings s;
    EXPECT_EQ(nlohmann::json::parse(settingsToJson(s)),
              nlohmann::json::parse(R"({"mode":"game","monitorIndex":0,"windowTitle":"","captureCursor":false,
                "outWidth":0,"outHeight":0,"fps":60,"codec":"h264","rate":"vbr","bitrateKbps":25000,
                "qualityPreset":2,"scale":"autoStretchNative","replayEnabled":true,"replaySeconds":60,
                "replayMaxMB":1500,"audio":"systemMic","micEnabled":true,"micMuted":false,"gameVolume":1.0,
                "micVolume":1.0,"separateTracks":false,"clipDir":"","hkClip":{"mods":0,"vk":119},
                "hkRecord":{"mods":0,"vk":120},"hkMic":{"mods":0,"vk":121},"hkReplay":{"mods":0,"vk":118},
                "hkPause":{"mods":0,"vk":117},"hkOverlay":{"mods":1,"vk":90},"autostart":true,
                "autoUpdate":true,"sounds":true,"replayRestartAfterClip":true,"micDevice":"","micMono":true})"));
}

TEST(SettingsParse, NumbersAreClampedThenTruncated) {
    for (const auto& k : kNumericKeys) {
        SCOPED_TRACE(k.key);
        const std::string key = std::string("\"") + k.key + "\":";
        const bool even = std::string_view(k.key).starts_with("out");
        auto value = [&](const std::string& number) { return parsed("{" + key + number + "}").*k.field; };
        EXPECT_EQ(value(std::to_string(k.low)), k.low);
        EXPECT_EQ(value(std::to_string(k.high)), k.high);
        EXPECT_EQ(value(std::to_string(uint64_t{k.high} + 1)), k.high);
        EXPECT_EQ(value("-1"), k.low);
        EXPECT_EQ(value("-0.5"), k.low);
        EXPECT_EQ(value("1e300"), k.high);
        EXPECT_EQ(value("-1e300"), k.low);
        EXPECT_EQ(value("1.7976931348623157e308"), k.high);
        EXPECT_EQ(value("18446744073709551616"), k.high) << "beyond 64 bits";
        EXPECT_EQ(value("4294967296"), k.high) << "would wrap to 0 in 32 bits";
        EXPECT_EQ(value("-4294967295"), k.low) << "would wrap to 1 in 32 bits";
        const uint32_t mid = (k.low + k.high) / 2 | 1;
        EXPECT_EQ(value(std::to_string(mid) + ".99"), even ? mid - 1 : mid);
        EXPECT_EQ(value(std::to_string(mid)), even ? mid - 1 : mid);
        EXPECT_EQ(value(std::to_string(k.low) + ".0"), k.low);
        // Other types keep the field.
        for (const char* other : {"\"7\"", "true", "null", "[7]", "{\"v\":7}"})
            EXPECT_EQ(value(other), k.fallback) << other;
    }
}

TEST(SettingsParse, EdgeValuesOfTheFileFormat) {
    EXPECT_EQ(parsed(R"({"fps": 500})"), [] { Settings s; s.fps = 240; return s; }());
    EXPECT_EQ(parsed(R"({"fps": "60"})").fps, 60u);
    EXPECT_EQ(parsed(R"({"fps": 59.9})").fps, 59u);
    EXPECT_EQ(parsed(R"({"fps": 9.99})").fps, 10u) << "clamped before it is truncated";
    EXPECT_EQ(parsed(R"({"outWidth": 1281})").outWidth, 1280u);
    EXPECT_EQ(parsed(R"({"outWidth": 99999})").outWidth, 7680u);
    EXPECT_EQ(parsed(R"({"outHeight": 1.5})").outHeight, 0u);
    EXPECT_EQ(parsed(R"({"fps": 30, "fps": 120})").fps, 120u) << "a repeated key: the last one counts";
}

TEST(SettingsParse, VolumesStayFloatingPointWithinLimits) {
    EXPECT_FLOAT_EQ(parsed(R"({"gameVolume": 0.25})").gameVolume, 0.25f);
    EXPECT_FLOAT_EQ(parsed(R"({"micVolume": 1.75})").micVolume, 1.75f);
    EXPECT_FLOAT_EQ(parsed(R"({"gameVolume": 2.5})").gameVolume, 2.0f);
    EXPECT_FLOAT_EQ(parsed(R"({"micVolume": -3})").micVolume, 0.0f);
    EXPECT_FLOAT_EQ(parsed(R"({"micVolume": 1e300})").micVolume, 2.0f);
    EXPECT_FLOAT_EQ(parsed(R"({"gameVolume": -1e300})").gameVolume, 0.0f);
    EXPECT_FLOAT_EQ(parsed(R"({"gameVolume": 5e-324})").gameVolume, 0.0f);
    EXPECT_FLOAT_EQ(parsed(R"({"gameVolume": 1})").gameVolume, 1.0f);
    EXPECT_FLOAT_EQ(parsed(R"({"gameVolume": "0.5"})").gameVolume, 1.0f);
}

TEST(SettingsParse, EnumerationsMatchTheirTextsExactly) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> enums = {
        {"mode", {"game", "monitor", "window"}},
        {"codec", {"h264", "hevc", "av1"}},
        {"rate", {"cbr", "vbr", "cqp"}},
        {"scale", {"original", "stretch", "fit", "crop", "autoStretchNative"}},
        {"audio", {"gameOnly", "gameMic", "system", "systemMic"}},
    };
    const auto field = [](const Settings& s, const std::string& key) -> uint32_t {
        if (key == "mode") return static_cast<uint32_t>(s.mode);
        if (key == "codec") return static_cast<uint32_t>(s.codec);
        if (key == "rate") return static_cast<uint32_t>(s.rate);
        if (key == "scale") return static_cast<uint32_t>(s.scale);
        return static_cast<uint32_t>(s.audio);
    };
    const Settings defaults;
    for (const auto& [key, names] : enums) {
        for (uint32_t i = 0; i < names.size(); ++i) {
            const Settings s = parsed("{\"" + key + "\":\"" + names[i] + "\"}");
            EXPECT_EQ(field(s, key), i) << key << " " << names[i];
            EXPECT_EQ(nlohmann::json::parse(settingsToJson(s))[key], names[i]);
            std::string upper = names[i];
            upper[0] = static_cast<char>(std::toupper(upper[0]));
            EXPECT_EQ(field(parsed("{\"" + key + "\":\"" + upper + "\"}"), key), field(defaults, key)) << upper;
        }
        for (const char* other : {"1", "\"\"", "\" game\"", "null", "true"})
            EXPECT_EQ(field(parsed("{\"" + key + "\":" + other + "}"), key), field(defaults, key)) << other;
    }
    EXPECT_EQ(parsed(R"({"codec": "HEVC"})").codec, VideoCodec::H264);
}

TEST(SettingsParse, BooleansAndTextsNeedTheirOwnType) {
    const Settings defaults;
    EXPECT_EQ(parsed(R"({"sounds": false, "captureCursor": true})").sounds, false);
    EXPECT_EQ(parsed(R"({"sounds": false, "captureCursor": true})").captureCursor, true);
    EXPECT_EQ(parsed(R"({"sounds": 0, "captureCursor": 1, "micMono": "false", "autostart": null})"), defaults);
    EXPECT_EQ(parsed(R"({"windowTitle": "Fenster", "clipDir": "/tmp/c"})").windowTitle, "Fenster");
    EXPECT_EQ(parsed(R"({"windowTitle": 5, "clipDir": ["x"], "micDevice": {}})"), defaults);
    EXPECT_EQ(parsed(R"({"windowTitle": "a\u0000b\n\ud83c\udfae"})").windowTitle, std::string("a\0b\n🎮", 8));
}

TEST(SettingsParse, HotkeysAreReadMemberByMember) {
    Settings s = parsed(R"({"hkClip": {"vk": 65}})");
    EXPECT_EQ(s.hkClip, (Hotkey{0, 65}));
    s = parsed(R"({"hkClip": {"mods": 255, "vk": 300}})");
    EXPECT_EQ(s.hkClip, (Hotkey{15, 254}));
    s = parsed(R"({"hkOverlay": {"mods": 6}})");
    EXPECT_EQ(s.hkOverlay, (Hotkey{6, 90}));
    s = parsed(R"({"hkOverlay": {"mods": "2", "vk": -5.5}})");
    EXPECT_EQ(s.hkOverlay, (Hotkey{1, 0}));
    s = parsed(R"({"hkRecord": {"mods": 2.9, "vk": 70.7}, "hkMic": [1, 2], "hkPause": 5})");
    EXPECT_EQ(s.hkRecord, (Hotkey{2, 70}));
    EXPECT_EQ(s.hkMic, Settings{}.hkMic);
    EXPECT_EQ(s.hkPause, Settings{}.hkPause);
    s = parsed(R"({"hkReplay": {}, "hkMic": {"mods": 1e308, "vk": 4294967296}})");
    EXPECT_EQ(s.hkReplay, Settings{}.hkReplay);
    EXPECT_EQ(s.hkMic, (Hotkey{15, 254}));
}

TEST(SettingsParse, MicDeviceKeepsAtMost512Utf16Units) {
    const auto micDevice = [](const std::string& text) {
        return parsed(nlohmann::json{{"micDevice", text}}.dump()).micDevice;
    };
    EXPECT_EQ(micDevice(std::string(600, 'a')), std::string(512, 'a'));
    EXPECT_EQ(micDevice(std::string(512, 'a')), std::string(512, 'a'));
    // Two-byte UTF-8 characters are one unit each: 512 of them stay.
    std::string umlauts;
    for (int i = 0; i < 600; ++i) umlauts += "ä";
    EXPECT_EQ(micDevice(umlauts), umlauts.substr(0, 1024));
    // A character outside the BMP takes two units and is never cut in half.
    EXPECT_EQ(micDevice(std::string(511, 'a') + "🎮"), std::string(511, 'a'));
    EXPECT_EQ(micDevice(std::string(510, 'a') + "🎮b"), std::string(510, 'a') + "🎮");
}

TEST(SettingsParse, TextThatIsNotAnObjectChangesNothingAndIsLogged) {
    const Settings start = everythingChanged();
    const auto logFile = testDataDirectory() / "krel-play.log";
    for (const std::string text : {"", "   ", "[]", "42", "\"x\"", "null", "{", "{\"fps\": 30,}",
                                   "{\"fps\": 30} x", "{\"fps\": NaN}", "{'fps': 30}",
                                   "\xEF\xBB\xBF", "// x\n{\"fps\": 30}"}) {
        std::filesystem::remove(logFile);
        EXPECT_EQ(parsed(text, start), start) << text;
        EXPECT_TRUE(readFile(logFile).ends_with(" Einstellungen unlesbar – Standardwerte\n")) << text;
    }
}

TEST(SettingsParse, NumbersBeyondADoubleAreClampedPerKey) {
    // The rest of the file counts; only the key itself is clamped.
    const Settings s = parsed(R"({"fps": 1e999, "bitrateKbps": 5000, "micVolume": -1e999,
                                  "replaySeconds": 1E+400, "hkClip": {"mods": 1e999, "vk": -1.5e999},
                                  "outWidth": 123456789012345678901234567890123456789e300,
                                  "gameVolume": 1e-999, "windowTitle": "1e999", "x": [1e999]})");
    EXPECT_EQ(s.fps, 240u);
    EXPECT_EQ(s.bitrateKbps, 5000u);
    EXPECT_EQ(s.micVolume, 0.0f);
    EXPECT_EQ(s.replaySeconds, 1800u);
    EXPECT_EQ(s.hkClip.mods, 15u);
    EXPECT_EQ(s.hkClip.vk, 0u);
    EXPECT_EQ(s.outWidth, 7680u);
    EXPECT_EQ(s.gameVolume, 0.0f);
    EXPECT_EQ(s.windowTitle, "1e999");
    EXPECT_EQ(parsed(R"({"fps": -1e999})").fps, 10u);
}

TEST(SettingsParse, ToleratesByteOrderMarkBadUtf8AndNesting) {
    EXPECT_EQ(parsed("\xEF\xBB\xBF{\"fps\": 30}").fps, 30u);
    // Ill-formed UTF-8 inside a text becomes replacement characters; the
    // rest of the file still counts.
    const Settings s = parsed("{\"windowTitle\": \"Spiel \xC3\x28 \xFF\", \"fps\": 30}");
    EXPECT_EQ(s.windowTitle, "Spiel \uFFFD( \uFFFD");
    EXPECT_EQ(s.fps, 30u);
    // Deep nesting in an ignored key does not disturb the rest.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(parsed("{\"x\": " + deep + ", \"fps\": 31}").fps, 31u);
    EXPECT_EQ(parsed(R"({"unbekannt": 1, "FPS": 20, "fps": 25})").fps, 25u);
}

TEST(SettingsParse, EveryFieldRoundTrips) {
    const Settings changed = everythingChanged();
    const std::string json = settingsToJson(changed);
    EXPECT_EQ(parsed(json), changed);
    EXPECT_EQ(parsed(json, changed), changed);
    EXPECT_EQ(parsed(settingsToJson(Settings{}), changed), Settings{});

    const auto object = nlohmann::json::parse(json);
    EXPECT_EQ(object.size(), 34u);
    EXPECT_TRUE(object["gameVolume"].is_number_float());
    EXPECT_TRUE(object["hkPause"].is_object());
    EXPECT_EQ(json.find('\n'), std::string::npos) << "compact";
    EXPECT_FALSE(json.starts_with("\xEF\xBB\xBF"));
}

TEST(SettingsParse, WritingNeverThrowsOnBadText) {
    Settings s;
    s.windowTitle = "kaputt \xC3 \xFF";
    s.micDevice = std::string("\xF0\x9F", 2);
    std::string json;
    ASSERT_NO_THROW(json = settingsToJson(s));
    const Settings back = parsed(json);
    EXPECT_EQ(back.windowTitle, "kaputt \uFFFD \uFFFD");
    EXPECT_EQ(back.micDevice, "\uFFFD");
}

} // namespace
} // namespace krel::test
