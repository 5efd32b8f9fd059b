// The update manifest and version rules.
#include "app/update.h"
#include "config/environment.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <cstdlib>

namespace krel {
namespace {

constexpr const char* kDefaultUpdateBase = "https://play.krel.de/downloads/play/";
constexpr size_t kEnvValueMax = 511;

// The longest prefix of at most `max` bytes that does not end inside a
// UTF-8 sequence.
std::string cutUtf8(const std::string& text, size_t max) {
    if (text.size() <= max) return text;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

// A plain file name inside the update folder: nothing that could leave it
// or mean something else in a URL ("/", "\", ":", "%", "?", "#", "@", ...).
bool validFileName(const std::string& file) {
    if (file.empty() || file == "." || file == "..") return false;
    for (char c : file) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                             c == ' ' || c == '.' || c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

// The version is shown to the user and logged: a short line of printable
// ASCII.
bool validVersion(const std::string& version) {
    if (version.size() > kVersionMaxChars) return false;
    for (char c : version)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

} // namespace

std::string updateBaseUrl() {
    if (auto v = environmentValue("KREL_PLAY_UPDATE_URL"); v && !v->empty()) {
        std::string base = std::move(*v);
        if (base.size() > kEnvValueMax) base.resize(kEnvValueMax);
        return base;
    }
    return kDefaultUpdateBase;
}

UpdateInfo parseManifest(std::string_view body, const std::string& baseUrl, std::string& error) {
    UpdateInfo info;
    if (body.size() > kManifestMaxBytes) {
        error = "Update-Information unlesbar";
        return info;
    }
    const auto obj = nlohmann::json::parse(body, nullptr, false);
    if (!obj.is_object()) {
        error = "Update-Information unlesbar";
        return info;
    }
    // Every member the program reads is a string; another type makes the
    // manifest as unreadable as broken JSON.
    std::string fields[4];
    const char* keys[4] = {"version", "file", "sha256", "notes"};
    for (int i = 0; i < 4; ++i) {
        const auto it = obj.find(keys[i]);
        if (it == obj.end()) continue;
        if (!it->is_string()) {
            error = "Update-Information unlesbar";
            return info;
        }
        fields[i] = it->get<std::string>();
    }
    const std::string& file = fields[1];
    if (!validFileName(file) || !validVersion(fields[0])) {
        error = "Update-Information ungültig";
        return info;
    }
    info.version = fields[0];
    info.url = baseUrl + file;
    info.sha256 = fields[2];
    info.notes = cutUtf8(fields[3], kNotesMaxBytes);
    if (info.sha256.size() != 64) {
        error = "Update ohne Prüfsumme";
        info.version.clear();
    }
    return info;
}

std::vector<int32_t> parseVersion(std::string_view text) {
    std::vector<int32_t> parts;
    const size_t first = text.find_first_of("0123456789");
    const std::string_view rest = first == std::string_view::npos ? std::string_view{} : text.substr(first);
    size_t pos = 0;
    while (true) {
        const size_t dot = rest.find('.', pos);
        const std::string_view piece =
            rest.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        int64_t value = 0;
        for (char c : piece) {
            if (c < '0' || c > '9') break;
            value = std::min<int64_t>(value * 10 + (c - '0'), INT32_MAX);
        }
        parts.push_back(static_cast<int32_t>(value));
        if (dot == std::string_view::npos) break;
        pos = dot + 1;
    }
    while (parts.size() < 3)
        parts.push_back(0);
    return parts;
}

bool isNewerVersion(std::string_view candidate, std::string_view current) {
    return parseVersion(current) < parseVersion(candidate);
}

} // namespace krel
