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

namespace {

// An id from the page that could not have come from the service: nothing is
// sent, so no other endpoint can be reached with the token.
ApiResult unknownClip() {
    ApiResult result;
    result.error = cloudErrorTextFor(404, R"({"error":"clip_not_found"})", "");
    return result;
}

} // namespace

ApiResult listCloudClips() {
    return apiCall("GET", "/api/play/v1/clips", "");
}

ApiResult setCloudClipShared(const std::string& cid, bool on) {
    if (!isCloudClipId(cid)) return unknownClip();
    return apiCall("POST", "/api/play/v1/clips/" + cid + "/share", on ? R"({"on":true})" : R"({"on":false})");
}

ApiResult getCloudClipLink(const std::string& cid) {
    if (!isCloudClipId(cid)) return unknownClip();
    ApiResult result = apiCall("POST", "/api/play/v1/clips/" + cid + "/link", "{}");
    if (!result.error.empty()) return result;
    LinkReplyReading link = readLinkReply(result.body, apiBaseUrl());
    switch (link.kind) {
    case LinkReplyReading::Kind::NotJson:
        break;
    case LinkReplyReading::Kind::BadUrl:
        // The page would play whatever address this names.
        result.error = "Antwort der Cloud unlesbar";
        break;
    case LinkReplyReading::Kind::Rewritten:
        result.body = std::move(link.body);
        break;
    }
    return result;
}

ApiResult deleteCloudClip(const std::string& cid) {
    if (!isCloudClipId(cid)) return unknownClip();
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
