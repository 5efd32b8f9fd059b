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

// A clip id as the service hands them out: 1 to 128 of A-Z a-z 0-9 _ -.
// Only such ids are put into a request path; anything else could name
// another endpoint ("../", "?", "#", "@").
bool isCloudClipId(std::string_view id);

inline constexpr size_t kMaxTokenBytes = 4096;
inline constexpr uint64_t kMinChunkSize = 64 * 1024;
inline constexpr uint64_t kMaxChunkSize = 64 * 1024 * 1024;

struct SignInReply {
    std::string token;     // 1 to 4096 bytes of printable ASCII (it goes into a header)
    std::string accountId; // "" when absent
};
// A 200 sign-in reply; nothing when it is no object, the token is missing,
// empty or unusable, or a member has another type than string.
std::optional<SignInReply> parseSignInReply(std::string_view body);

struct UploadAnnouncement {
    std::string id;         // a valid clip id
    uint64_t chunkSize = 0; // 64 KiB to 64 MiB
};
struct AnnouncementReading {
    std::optional<UploadAnnouncement> announcement;
    // The id the service gave even when the rest is unusable, so that the
    // half-announced clip can be withdrawn; "" when none is known.
    std::string knownId;
};
// The announcement reply: "id" (string) and "chunkSize" (number, fraction
// dropped; `defaultChunkSize` when absent). A chunk size outside 64 KiB to
// 64 MiB makes the announcement unusable (the id stays known).
AnnouncementReading parseAnnouncementReply(std::string_view body, uint64_t defaultChunkSize);

// The "shareUrl" of a share reply when it is a string.
std::optional<std::string> shareUrlOf(std::string_view body);
struct LinkReplyReading {
    enum class Kind {
        NotJson,   // the body is no JSON object: it stays as it came
        BadUrl,    // "url" is missing, no string or not a path on the service
        Rewritten, // `body` is {"url": base + the path}
    };
    Kind kind = Kind::NotJson;
    std::string body;
};
// A link reply. Its "url" must be a path on the service: starting with one
// "/" (not "//"), without blanks, control characters or "\", so that the
// address built from it stays below `baseUrl`.
LinkReplyReading readLinkReply(std::string_view body, const std::string& baseUrl);

} // namespace krel
