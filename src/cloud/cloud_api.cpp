#include "cloud/cloud_api.h"

#include "cloud/account.h"
#include "cloud/api_replies.h"
#include "cloud/http_client.h"

namespace krel {

std::string cloudErrorText(int32_t status, std::string_view body) {
    // The host only matters without a response.
    return cloudErrorTextFor(status, body, status == 0 ? apiHostName() : std::string());
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
    if (result.status < 200 || result.status >= 300)
        result.error = cloudErrorText(result.status, result.body);
    return result;
}

ApiResult listCloudClips() {
    return apiCall("GET", "/api/play/v1/clips", "");
}

ApiResult setCloudClipShared(const std::string& cid, bool on) {
    return apiCall("POST", "/api/play/v1/clips/" + cid + "/share", on ? R"({"on":true})" : R"({"on":false})");
}

ApiResult getCloudClipLink(const std::string& cid) {
    ApiResult result = apiCall("POST", "/api/play/v1/clips/" + cid + "/link", "{}");
    if (!result.error.empty()) return result;
    if (auto body = linkReplyBody(result.body, apiBaseUrl())) result.body = std::move(*body);
    return result;
}

ApiResult deleteCloudClip(const std::string& cid) {
    return apiCall("DELETE", "/api/play/v1/clips/" + cid, "");
}

std::string cloudPageUrl() {
    return apiBaseUrl() + "/app#cloud";
}

ApiResult runCloudCommand(std::string_view command, const std::string& cid, bool on,
                          const ClipboardWriter& clipboard) {
    if (command == "cloudList") return listCloudClips();
    if (command == "cloudLink") return getCloudClipLink(cid);
    if (command == "cloudDelete") return deleteCloudClip(cid);
    if (command == "cloudShare") {
        ApiResult result = setCloudClipShared(cid, on);
        if (result.error.empty() && clipboard) {
            if (const auto url = shareUrlOf(result.body)) clipboard(*url);
        }
        return result;
    }
    ApiResult unknown;
    unknown.error = "Unbekannter Befehl";
    return unknown;
}

} // namespace krel
