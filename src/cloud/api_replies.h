#pragma once
// Reading the account and cloud service's replies. Pure functions over the
// reply text: any bytes are accepted, and a reply of the wrong shape or with
// members of the wrong JSON type reads as unusable, never as an exception.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace krel {

// The body's "error" member as a string; "" when unparsable or absent.
std::string cloudErrorCode(std::string_view body);
// The German message for a failed call; `host` names the service.
std::string cloudErrorTextFor(int32_t status, std::string_view body, const std::string& host);

struct SignInReply {
    std::string token;     // non-empty, printable ASCII (it goes into a header)
    std::string accountId; // "" when absent
};
// A 200 sign-in reply; nothing when it is no object, the token is missing,
// empty or unusable, or a member has another type than string.
std::optional<SignInReply> parseSignInReply(std::string_view body);

struct UploadAnnouncement {
    std::string id;
    uint64_t chunkSize = 0; // > 0
};
struct AnnouncementReading {
    std::optional<UploadAnnouncement> announcement;
    // The id the service gave even when the rest is unusable, so that the
    // half-announced clip can be withdrawn; "" when none is known.
    std::string knownId;
};
// The announcement reply: "id" (string) and "chunkSize" (number, fraction
// dropped; `defaultChunkSize` when absent).
AnnouncementReading parseAnnouncementReply(std::string_view body, uint64_t defaultChunkSize);

// The "shareUrl" of a share reply when it is a string.
std::optional<std::string> shareUrlOf(std::string_view body);
// A link reply's body rewritten to {"url": base + its "url"}; nothing when
// the body is no JSON object (it then stays as it came).
std::optional<std::string> linkReplyBody(std::string_view body, const std::string& baseUrl);

} // namespace krel
