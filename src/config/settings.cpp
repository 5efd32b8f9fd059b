#include "config/settings.h"

#include "config/atomic_file.h"
#include "config/data_directory.h"
#include "config/log.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <mutex>

namespace krel {
namespace {

using Json = nlohmann::json;

constexpr std::array<std::string_view, 3> kModeNames{"game", "monitor", "window"};
constexpr std::array<std::string_view, 3> kCodecNames{"h264", "hevc", "av1"};
constexpr std::array<std::string_view, 3> kRateNames{"cbr", "vbr", "cqp"};
constexpr std::array<std::string_view, 5> kScaleNames{"original", "stretch", "fit", "crop",
                                                      "autoStretchNative"};
constexpr std::array<std::string_view, 4> kAudioNames{"gameOnly", "gameMic", "system", "systemMic"};

constexpr std::size_t kMicDeviceMaxUnits = 512;

// Clamps first, then truncates toward zero. Written so that NaN and the
// infinities land on a limit as well: no value can wrap.
uint32_t clampToUint(double value, uint32_t low, uint32_t high) {
    if (!(value >= low)) return low;
    if (value >= high) return high;
    return static_cast<uint32_t>(value);
}

float clampVolume(double value) {
    if (!(value >= 0.0)) return 0.0f;
    if (value >= 2.0) return 2.0f;
    return static_cast<float>(value);
}

const Json* member(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

void readUint(const Json& object, const char* key, uint32_t& field, uint32_t low, uint32_t high) {
    if (const Json* v = member(object, key); v && v->is_number()) field = clampToUint(v->get<double>(), low, high);
}

void readEvenUint(const Json& object, const char* key, uint32_t& field, uint32_t high) {
    if (const Json* v = member(object, key); v && v->is_number())
        field = clampToUint(v->get<double>(), 0, high) & ~uint32_t{1};
}

void readVolume(const Json& object, const char* key, float& field) {
    if (const Json* v = member(object, key); v && v->is_number()) field = clampVolume(v->get<double>());
}

void readBool(const Json& object, const char* key, bool& field) {
    if (const Json* v = member(object, key); v && v->is_boolean()) field = v->get<bool>();
}

void readText(const Json& object, const char* key, std::string& field) {
    if (const Json* v = member(object, key); v && v->is_string()) field = v->get<std::string>();
}

template <class Enum, std::size_t N>
void readEnum(const Json& object, const char* key, Enum& field, const std::array<std::string_view, N>& names) {
    const Json* v = member(object, key);
    if (!v || !v->is_string()) return;
    const auto& text = v->get_ref<const std::string&>();
    for (std::size_t i = 0; i < N; ++i) {
        if (text == names[i]) {
            field = static_cast<Enum>(i);
            return;
        }
    }
}

void readHotkey(const Json& object, const char* key, Hotkey& field) {
    const Json* v = member(object, key);
    if (!v || !v->is_object()) return;
    double mods = field.mods;
    double vk = field.vk;
    if (const Json* m = member(*v, "mods"); m && m->is_number()) mods = m->get<double>();
    if (const Json* k = member(*v, "vk"); k && k->is_number()) vk = k->get<double>();
    field.mods = clampToUint(mods, 0, 15);
    field.vk = clampToUint(vk, 0, 254);
}

// The longest prefix of valid UTF-8 `text` that takes at most `maxUnits`
// UTF-16 code units; a character outside the BMP (two units) is kept whole
// or not at all.
std::string truncateToUtf16Units(const std::string& text, std::size_t maxUnits) {
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const std::size_t bytes = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::size_t width = bytes == 4 ? 2 : 1;
        if (units + width > maxUnits) break;
        units += width;
        i += bytes;
    }
    return text.substr(0, std::min(i, text.size()));
}

template <class Enum, std::size_t N>
std::string_view enumName(Enum value, const std::array<std::string_view, N>& names) {
    const auto index = static_cast<std::size_t>(value);
    return index < N ? names[index] : names[0];
}

// Texts go out as well-formed UTF-8, ill-formed pieces replaced the same
// way parseSettings replaces them.
std::string wellFormed(const std::string& text) { return toUtf8(toUtf16(text)); }

nlohmann::ordered_json hotkeyJson(const Hotkey& hk) { return {{"mods", hk.mods}, {"vk", hk.vk}}; }

// The JSON reader refuses a number beyond the range of a double (1e999) as a
// syntax error, which would make the whole file unreadable over one value.
// Such numbers are rewritten to the largest finite double of their sign (or
// to 0 when they are too small to represent), so that the key's own limits
// then clamp them like any other out-of-range value.
std::string withFiniteNumbers(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') { // copy a string with its escapes unchanged
            const std::size_t start = i++;
            while (i < text.size() && text[i] != '"')
                i += text[i] == '\\' ? 2 : 1;
            i = std::min(i + 1, text.size());
            out.append(text, start, i - start);
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) {
            out.push_back(c);
            ++i;
            continue;
        }
        const std::size_t start = i;
        bool negativeExponent = false;
        while (i < text.size()) {
            const char d = text[i];
            if ((d == '+' || d == '-') && i > start && (text[i - 1] == 'e' || text[i - 1] == 'E'))
                negativeExponent = d == '-';
            else if (!((d >= '0' && d <= '9') || d == '.' || d == 'e' || d == 'E' || (d == '-' && i == start)))
                break;
            ++i;
        }
        const std::string_view token(text.data() + start, i - start);
        double value = 0;
        const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
        if (ec == std::errc::result_out_of_range && end == token.data() + token.size()) {
            if (negativeExponent)
                out += "0";
            else
                out += token.front() == '-' ? "-1.7976931348623157e308" : "1.7976931348623157e308";
        } else {
            out.append(token);
        }
    }
    return out;
}

std::mutex& saveMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

void parseSettings(Settings& target, std::string_view utf8Json) {
    if (utf8Json.starts_with("\xEF\xBB\xBF")) utf8Json.remove_prefix(3);
    // Ill-formed UTF-8 becomes replacement characters instead of making the
    // whole file unreadable, as a conversion to UTF-16 would do.
    const std::string text = withFiniteNumbers(toUtf8(toUtf16(utf8Json)));
    const Json root = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!root.is_object()) {
        logLine("Einstellungen unlesbar – Standardwerte");
        return;
    }

    Settings& s = target;
    readEnum(root, "mode", s.mode, kModeNames);
    readUint(root, "monitorIndex", s.monitorIndex, 0, 16);
    readText(root, "windowTitle", s.windowTitle);
    readBool(root, "captureCursor", s.captureCursor);
    readEvenUint(root, "outWidth", s.outWidth, 7680);
    readEvenUint(root, "outHeight", s.outHeight, 4320);
    readUint(root, "fps", s.fps, 10, 240);
    readEnum(root, "codec", s.codec, kCodecNames);
    readEnum(root, "rate", s.rate, kRateNames);
    readUint(root, "bitrateKbps", s.bitrateKbps, 1000, 150000);
    readUint(root, "qualityPreset", s.qualityPreset, 0, 4);
    readEnum(root, "scale", s.scale, kScaleNames);
    readBool(root, "replayEnabled", s.replayEnabled);
    readUint(root, "replaySeconds", s.replaySeconds, 5, 1800);
    readUint(root, "replayMaxMB", s.replayMaxMB, 64, 16384);
    readEnum(root, "audio", s.audio, kAudioNames);
    readBool(root, "micEnabled", s.micEnabled);
    readBool(root, "micMuted", s.micMuted);
    readVolume(root, "gameVolume", s.gameVolume);
    readVolume(root, "micVolume", s.micVolume);
    readBool(root, "separateTracks", s.separateTracks);
    readText(root, "clipDir", s.clipDir);
    readHotkey(root, "hkClip", s.hkClip);
    readHotkey(root, "hkRecord", s.hkRecord);
    readHotkey(root, "hkMic", s.hkMic);
    readHotkey(root, "hkReplay", s.hkReplay);
    readHotkey(root, "hkPause", s.hkPause);
    readHotkey(root, "hkOverlay", s.hkOverlay);
    readBool(root, "autostart", s.autostart);
    readBool(root, "autoUpdate", s.autoUpdate);
    readBool(root, "sounds", s.sounds);
    readBool(root, "replayRestartAfterClip", s.replayRestartAfterClip);
    if (const Json* v = member(root, "micDevice"); v && v->is_string())
        s.micDevice = truncateToUtf16Units(v->get<std::string>(), kMicDeviceMaxUnits);
    readBool(root, "micMono", s.micMono);
}

std::string settingsToJson(const Settings& s) {
    // In record order, which makes the file easy to read; readers do not
    // depend on it.
    nlohmann::ordered_json j;
    j["mode"] = enumName(s.mode, kModeNames);
    j["monitorIndex"] = s.monitorIndex;
    j["windowTitle"] = wellFormed(s.windowTitle);
    j["captureCursor"] = s.captureCursor;
    j["outWidth"] = s.outWidth;
    j["outHeight"] = s.outHeight;
    j["fps"] = s.fps;
    j["codec"] = enumName(s.codec, kCodecNames);
    j["rate"] = enumName(s.rate, kRateNames);
    j["bitrateKbps"] = s.bitrateKbps;
    j["qualityPreset"] = s.qualityPreset;
    j["scale"] = enumName(s.scale, kScaleNames);
    j["replayEnabled"] = s.replayEnabled;
    j["replaySeconds"] = s.replaySeconds;
    j["replayMaxMB"] = s.replayMaxMB;
    j["audio"] = enumName(s.audio, kAudioNames);
    j["micEnabled"] = s.micEnabled;
    j["micMuted"] = s.micMuted;
    j["gameVolume"] = static_cast<double>(s.gameVolume);
    j["micVolume"] = static_cast<double>(s.micVolume);
    j["separateTracks"] = s.separateTracks;
    j["clipDir"] = wellFormed(s.clipDir);
    j["hkClip"] = hotkeyJson(s.hkClip);
    j["hkRecord"] = hotkeyJson(s.hkRecord);
    j["hkMic"] = hotkeyJson(s.hkMic);
    j["hkReplay"] = hotkeyJson(s.hkReplay);
    j["hkPause"] = hotkeyJson(s.hkPause);
    j["hkOverlay"] = hotkeyJson(s.hkOverlay);
    j["autostart"] = s.autostart;
    j["autoUpdate"] = s.autoUpdate;
    j["sounds"] = s.sounds;
    j["replayRestartAfterClip"] = s.replayRestartAfterClip;
    j["micDevice"] = wellFormed(s.micDevice);
    j["micMono"] = s.micMono;
    // The handler only guards against a throw; the texts are well-formed.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Settings loadSettings() {
    Settings settings;
    // A read error (the name is a folder, an I/O error) counts as unreadable:
    // defaults, silently, like a missing file.
    const auto text = readReplaceableFile(dataDirectory() / "settings.json");
    if (text) parseSettings(settings, *text);
    return settings;
}

void saveSettings(const Settings& settings) {
    try {
        const std::string text = settingsToJson(settings);
        const std::filesystem::path file = dataDirectory() / "settings.json";
        // Two saves at once would share "settings.json.tmp".
        std::lock_guard lock(saveMutex());
        replaceFileAtomically(file, text);
    } catch (...) {
        // Errors are ignored by design: the previous file stays and the
        // program goes on with the settings in memory.
    }
}

} // namespace krel
