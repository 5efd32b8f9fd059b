#include "cloud/cloud_api.h"

#include "cloud/account.h"
#include "cloud/http_client.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace krel {
namespace {

// The body's "error" member as a string; "" when unparsable or absent.
std::string errorCode(std::string_view body) {
    const auto obj = nlohmann::json::parse(body, nullptr, false);
    if (!obj.is_object()) return {};
    const auto it = obj.find("error");
    return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<nlohmann::json> parseObject(std::string_view body) {
    auto obj = nlohmann::json::parse(body, nullptr, false);
    if (!obj.is_object()) return std::nullopt;
    return obj;
}

} // namespace

std::string cloudErrorText(int32_t status, std::string_view body) {
    if (status == 0) return "Keine Verbindung zu " + apiHostName();
    if (status == 401) return "Bitte zuerst unter Konto mit deinem KREL-Konto anmelden";
    const std::string code = errorCode(body);
    if (code == "quota_exceeded") return "Dein Cloud-Speicher ist voll – lösche zuerst ältere Clips";
    if (code == "clip_too_large") return "Der Clip ist zu groß für die Cloud (höchstens 1 GB)";
    if (code == "not_mp4") return "Nur MP4-Videos können hochgeladen werden";
    if (code == "clip_not_found") return "Clip nicht gefunden";
    if (status == 429) return "Zu viele Uploads – bitte später erneut versuchen";
    if (code.empty()) return fmt::format("Cloud-Fehler ({})", status);
    return fmt::format("Cloud-Fehler ({}, {})", status, code);
}

ApiResult apiCall(const std::string& method, const std::string& path, std::string_view body) {
    ApiResult result;
    const std::string token = accountToken();
    if (token.empty()) {
        result.status = 401;
        result.error = cloudErrorText(401, "");
        return result;
    }
    result.status = httpRequest(method, apiBaseUrl() + path, body, "application/json", token, result.body);
    if (result.status < 200 || result.status >= 300) result.error = cloudErrorText(result.status, result.body);
    return result;
}

ApiResult listCloudClips() { return apiCall("GET", "/api/play/v1/clips", ""); }

ApiResult setCloudClipShared(const std::string& cid, bool on) {
    return apiCall("POST", "/api/play/v1/clips/" + cid + "/share", on ? R"({"on":true})" : R"({"on":false})");
}

ApiResult getCloudClipLink(const std::string& cid) {
    ApiResult result = apiCall("POST", "/api/play/v1/clips/" + cid + "/link", "{}");
    if (!result.error.empty()) return result;
    if (const auto obj = parseObject(result.body)) {
        const auto it = obj->find("url");
        const std::string path = it != obj->end() && it->is_string() ? it->get<std::string>() : std::string();
        result.body = nlohmann::json{{"url", apiBaseUrl() + path}}.dump(-1, ' ', false,
                                                                        nlohmann::json::error_handler_t::replace);
    }
    return result;
}

ApiResult deleteCloudClip(const std::string& cid) { return apiCall("DELETE", "/api/play/v1/clips/" + cid, ""); }

std::string cloudPageUrl() { return apiBaseUrl() + "/app#cloud"; }

ApiResult runCloudCommand(std::string_view command, const std::string& cid, bool on,
                          const ClipboardWriter& clipboard) {
    if (command == "cloudList") return listCloudClips();
    if (command == "cloudLink") return getCloudClipLink(cid);
    if (command == "cloudDelete") return deleteCloudClip(cid);
    if (command == "cloudShare") {
        ApiResult result = setCloudClipShared(cid, on);
        if (result.error.empty()) {
            if (const auto obj = parseObject(result.body)) {
                const auto it = obj->find("shareUrl");
                if (it != obj->end() && it->is_string() && clipboard) clipboard(it->get<std::string>());
            }
        }
        return result;
    }
    ApiResult unknown;
    unknown.error = "Unbekannter Befehl";
    return unknown;
}

} // namespace krel
