#include "ui/sound_cues.h"

#include "ui/cue_player.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <numbers>

namespace krel {
namespace {

constexpr int kRate = 48'000;
constexpr int kTailSamples = 960; // 20 ms of silence after the last note
constexpr double kOctaveShare = 0.18;
constexpr double kDecay = 7.5;          // e^-7.5 left at the end of a note
constexpr double kAttackSeconds = 0.006; // linear fade-in against clicks
constexpr size_t kHeaderBytes = 44;
constexpr int kCueCount = 3;

struct Cue {
    std::array<Note, 2> notes;
    double gain;
};

// 0 clip saved (rising), 1 recording started (rising), 2 recording stopped
// (falling).
constexpr std::array<Cue, kCueCount> kCues{{
    {{{{1318.5, 0.0, 0.16}, {1760.0, 0.07, 0.26}}}, 0.22},
    {{{{784.0, 0.0, 0.18}, {1174.7, 0.09, 0.28}}}, 0.22},
    {{{{1174.7, 0.0, 0.18}, {784.0, 0.09, 0.30}}}, 0.22},
}};

void putTag(std::vector<uint8_t>& out, const char (&tag)[5]) {
    out.insert(out.end(), tag, tag + 4);
}

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::vector<double> mix(std::span<const Note> notes) {
    double total = 0;
    for (const Note& n : notes) total = std::max(total, n.start + n.duration);
    const size_t count = static_cast<size_t>(std::trunc(total * kRate)) + kTailSamples;
    std::vector<double> buffer(count, 0.0);
    for (const Note& note : notes) {
        const auto length = static_cast<long long>(std::trunc(note.duration * kRate));
        const auto first = static_cast<long long>(std::trunc(note.start * kRate));
        if (length <= 0 || first < 0) continue;
        const double w = 2 * std::numbers::pi * note.frequency;
        for (long long n = 0; n < length && first + n < static_cast<long long>(count); ++n) {
            const double t = static_cast<double>(n) / kRate;
            const double tone = std::sin(2 * w * t) * kOctaveShare + std::sin(w * t);
            const double envelope = std::exp(-kDecay * t / note.duration) * std::min(t / kAttackSeconds, 1.0);
            buffer[static_cast<size_t>(first + n)] += tone * envelope;
        }
    }
    return buffer;
}

} // namespace

std::vector<uint8_t> synthesize(std::span<const Note> notes, double gain) {
    const std::vector<double> buffer = mix(notes);
    const auto dataBytes = static_cast<uint32_t>(2 * buffer.size());
    std::vector<uint8_t> image;
    image.reserve(kHeaderBytes + dataBytes);
    putTag(image, "RIFF");
    put32(image, static_cast<uint32_t>(kHeaderBytes) + dataBytes - 8);
    putTag(image, "WAVE");
    putTag(image, "fmt ");
    put32(image, 16);
    put16(image, 1); // PCM
    put16(image, 1); // mono
    put32(image, kRate);
    put32(image, 2 * kRate);
    put16(image, 2);
    put16(image, 16);
    putTag(image, "data");
    put32(image, dataBytes);
    for (double v : buffer) {
        const double clamped = std::clamp(gain * v, -1.0, 1.0);
        // std::lround rounds halves away from zero.
        put16(image, static_cast<uint16_t>(static_cast<int16_t>(std::lround(clamped * 32767.0))));
    }
    return image;
}

const std::vector<uint8_t>& cueImage(int cue) {
    const int i = (cue == 0 || cue == 1) ? cue : 2;
    static std::array<std::once_flag, kCueCount> built;
    // Never freed: the sound thread may still read an image while the
    // program's static objects are being destroyed.
    static std::array<const std::vector<uint8_t>*, kCueCount> images{};
    std::call_once(built[static_cast<size_t>(i)], [i] {
        const Cue& c = kCues[static_cast<size_t>(i)];
        images[static_cast<size_t>(i)] = new std::vector<uint8_t>(synthesize(c.notes, c.gain));
    });
    return *images[static_cast<size_t>(i)];
}

void playCue(int cue) {
    const int i = (cue == 0 || cue == 1) ? cue : 2;
    try {
        const std::vector<uint8_t>& image = cueImage(i);
        playCueSamples(i, std::span<const uint8_t>(image).subspan(kHeaderBytes));
    } catch (...) {
        // Out of memory while building the image: a missing chime is harmless.
    }
}

} // namespace krel
