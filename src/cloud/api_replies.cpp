#include "cloud/api_replies.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cmath>

namespace krel {
namespace {

using nlohmann::json;

json parseObject(std::string_view body) {
    json obj = json::parse(body, nullptr, false);
    return obj.is_object() ? obj : json();
}

// The member as a string: "" when absent, nothing when of another type.
std::optional<std::string> optionalString(const json& obj, const char* key) {
    const auto it = obj.find(key);
    if (it == obj.end()) return std::string();
    if (!it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool printableAscii(const std::string& text) {
    for (char c : text)
        if (c <= 0x20 || c >= 0x7F) return false;
    return !text.empty();
}

bool servicePath(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.starts_with("//")) return false;
    for (char c : path)
        if (c <= 0x20 || c >= 0x7F || c == '\\') return false;
    return true;
}

} // namespace

bool isCloudClipId(std::string_view id) {
    if (id.empty() || id.size() > 128) return false;
    for (char c : id) {
        const bool allowed =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

std::string cloudErrorCode(std::string_view body) {
    const json obj = parseObject(body);
    if (!obj.is_object()) return {};
    return optionalString(obj, "error").value_or("");
}

std::string cloudErrorTextFor(int32_t status, std::string_view body, const std::string& host) {
    if (status == 0) return "Keine Verbindung zu " + host;
    if (status == 401) return "Bitte zuerst unter Konto mit deinem KREL-Konto anmelden";
    const std::string code = cloudErrorCode(body);
    if (code == "quota_exceeded") return "Dein Cloud-Speicher ist voll – lösche zuerst ältere Clips";
    if (code == "clip_too_large") return "Der Clip ist zu groß für die Cloud (höchstens 1 GB)";
    if (code == "not_mp4") return "Nur MP4-Videos können hochgeladen werden";
    if (code == "clip_not_found") return "Clip nicht gefunden";
    if (status == 429) return "Zu viele Uploads – bitte später erneut versuchen";
    if (code.empty()) return fmt::format("Cloud-Fehler ({})", status);
    return fmt::format("Cloud-Fehler ({}, {})", status, code);
}

std::optional<SignInReply> parseSignInReply(std::string_view body) {
    const json obj = parseObject(body);
    if (!obj.is_object()) return std::nullopt;
    auto token = optionalString(obj, "token");
    auto accountId = optionalString(obj, "accountId");
    if (!token || !accountId || !printableAscii(*token) || token->size() > kMaxTokenBytes) return std::nullopt;
    return SignInReply{std::move(*token), std::move(*accountId)};
}

AnnouncementReading parseAnnouncementReply(std::string_view body, uint64_t defaultChunkSize) {
    AnnouncementReading out;
    const json obj = parseObject(body);
    if (!obj.is_object()) return out;
    const auto id = optionalString(obj, "id");
    if (!id || !isCloudClipId(*id)) return out; // no usable id: nothing to send to or withdraw
    out.knownId = *id;
    uint64_t chunkSize = defaultChunkSize;
    if (const auto it = obj.find("chunkSize"); it != obj.end()) {
        if (!it->is_number()) return out;
        if (it->is_number_unsigned()) {
            chunkSize = it->get<uint64_t>();
        } else {
            const double v = it->get<double>();
            if (!std::isfinite(v) || v < 1.0 || v >= 18446744073709551616.0) return out;
            chunkSize = static_cast<uint64_t>(v);
        }
    }
    if (chunkSize < kMinChunkSize || chunkSize > kMaxChunkSize) return out;
    out.announcement = UploadAnnouncement{*id, chunkSize};
    return out;
}

std::optional<std::string> shareUrlOf(std::string_view body) {
    const json obj = parseObject(body);
    if (!obj.is_object()) return std::nullopt;
    const auto it = obj.find("shareUrl");
    if (it == obj.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

LinkReplyReading readLinkReply(std::string_view body, const std::string& baseUrl) {
    LinkReplyReading out;
    const json obj = parseObject(body);
    if (!obj.is_object()) return out;
    const std::string path = optionalString(obj, "url").value_or("");
    if (!servicePath(path)) {
        out.kind = LinkReplyReading::Kind::BadUrl;
        return out;
    }
    out.kind = LinkReplyReading::Kind::Rewritten;
    out.body = json{{"url", baseUrl + path}}.dump(-1, ' ', false, json::error_handler_t::replace);
    return out;
}

} // namespace krel
