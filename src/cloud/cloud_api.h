#pragma once
// Cloud clip operations over the account service's API. Every call reads the
// token anew (signed out: status 401 and the sign-in text, nothing sent),
// blocks in httpRequest and keeps no state, so any number may run at once on
// worker threads. None throws.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace krel {

// The outcome of one API call. Success means `error` is empty.
struct ApiResult {
    int32_t status = 0; // HTTP status; 0 when no response arrived
    std::string body;   // the response body (rewritten by getCloudClipLink)
    std::string error;  // German text for the user; empty on success
};

// The German message for a failed call, from the status and the service's
// "error" code in the body.
std::string cloudErrorText(int32_t status, std::string_view body);

// One API call with the stored token: method, a path beginning with "/", a
// JSON body. A status outside 200..299 fills `error`.
ApiResult apiCall(const std::string& method, const std::string& path, std::string_view body);

// The clip operations take the page's clip id; one that is not of the
// service's form (isCloudClipId) gives "Clip nicht gefunden" with status 0
// and nothing is sent. A link reply whose "url" is not a path on the service
// gives "Antwort der Cloud unlesbar".
ApiResult listCloudClips();
ApiResult setCloudClipShared(const std::string& cid, bool on);
ApiResult getCloudClipLink(const std::string& cid);
ApiResult deleteCloudClip(const std::string& cid);

// The cloud's web page: the API base URL followed by "/app#cloud".
std::string cloudPageUrl();

// Puts text on the clipboard; supplied by the user-interface host, which
// owns the clipboard. May do nothing.
using ClipboardWriter = std::function<void(const std::string& text)>;

// The thread body of the "cloudList", "cloudShare", "cloudDelete" and
// "cloudLink" commands: runs the operation named by `command` ("on" is the
// share flag, `cid` the clip id). A successful share whose reply carries a
// string "shareUrl" copies it with `clipboard`. An unknown command gives
// status 0 and an error text.
ApiResult runCloudCommand(std::string_view command, const std::string& cid, bool on,
                          const ClipboardWriter& clipboard);

} // namespace krel
