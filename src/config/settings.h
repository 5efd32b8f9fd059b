#pragma once
// The settings record and its JSON file "settings.json" in the data folder.
// A plain value record; the constructor yields the defaults. Enumerations
// hold an index and are written as their text.

#include <cstdint>
#include <string>
#include <string_view>

namespace krel {

enum class CaptureMode : uint32_t { Game = 0, Monitor = 1, Window = 2 };
enum class VideoCodec : uint32_t { H264 = 0, Hevc = 1, Av1 = 2 };
enum class RateControl : uint32_t { Cbr = 0, Vbr = 1, Cqp = 2 };
enum class ScaleMode : uint32_t { Original = 0, Stretch = 1, Fit = 2, Crop = 3, AutoStretchNative = 4 };
enum class AudioMix : uint32_t { GameOnly = 0, GameMic = 1, System = 2, SystemMic = 3 };

// A global hotkey: modifier bits (1 Alt, 2 Ctrl, 4 Shift, 8 Win) and a
// Windows virtual-key code; vk 0 means no key.
struct Hotkey {
    uint32_t mods = 0;
    uint32_t vk = 0;
    bool operator==(const Hotkey&) const = default;
};

struct Settings {
    CaptureMode mode = CaptureMode::Game;
    uint32_t monitorIndex = 0;
    std::string windowTitle; // UTF-8
    bool captureCursor = false;
    uint32_t outWidth = 0;
    uint32_t outHeight = 0;
    uint32_t fps = 60;
    VideoCodec codec = VideoCodec::H264;
    RateControl rate = RateControl::Vbr;
    uint32_t bitrateKbps = 25000;
    uint32_t qualityPreset = 2;
    ScaleMode scale = ScaleMode::AutoStretchNative;
    bool replayEnabled = true;
    uint32_t replaySeconds = 60;
    uint32_t replayMaxMB = 1500;
    AudioMix audio = AudioMix::SystemMic;
    bool micEnabled = true;
    bool micMuted = false;
    float gameVolume = 1.0f;
    float micVolume = 1.0f;
    bool separateTracks = false;
    std::string clipDir; // UTF-8; empty = default clip folder
    Hotkey hkClip{0, 119};
    Hotkey hkRecord{0, 120};
    Hotkey hkMic{0, 121};
    Hotkey hkReplay{0, 118};
    Hotkey hkPause{0, 117};
    Hotkey hkOverlay{1, 90};
    bool autostart = true;
    bool autoUpdate = true;
    bool sounds = true;
    bool replayRestartAfterClip = true;
    std::string micDevice; // UTF-8, at most 512 UTF-16 code units; empty = default capture device
    bool micMono = true;

    bool operator==(const Settings&) const = default;
};

// Applies a JSON text to `target` key by key (tolerant: wrong types and
// unknown texts leave fields unchanged; numbers are clamped). Text that is not
// a JSON object leaves `target` unchanged and logs
// "Einstellungen unlesbar – Standardwerte". A leading byte-order mark is
// skipped and ill-formed UTF-8 becomes U+FFFD. Never throws for any input.
void parseSettings(Settings& target, std::string_view utf8Json);
// The compact JSON object with all keys.
std::string settingsToJson(const Settings& settings);
// Reads "settings.json" from the data folder; defaults when it is missing or
// cannot be read. Only the error of a first dataDirectory() call propagates.
Settings loadSettings();
// Writes "settings.json" atomically through "settings.json.tmp", flushed to
// the disk before it replaces the old file; errors are ignored (the previous
// file stays). Safe to call from several threads.
void saveSettings(const Settings& settings);

} // namespace krel
