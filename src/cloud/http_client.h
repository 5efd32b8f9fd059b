#pragma once
// The program's two HTTP(S) operations. Both are synchronous, keep no state
// between calls and may run on several threads at once; each call opens its
// own connection and closes it before returning. Neither throws.
//
// Plain "http:" is accepted only for loopback hosts (local development and
// test services); every other host must use "https:", whose certificate is
// verified. Redirects are not followed: a 3xx is handed back like any other
// status, so a bearer token never travels to another address.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace krel {

// Called on the calling thread between reads with the fraction of the body
// received so far (only when the reply announces its length). May be empty.
using ProgressCallback = std::function<void(double)>;

inline constexpr uint64_t kGetBodyLimit = 536870912;   // 512 MiB
inline constexpr uint64_t kRequestBodyLimit = 1000000; // API replies

// How much a download may carry and how long it may take in all. The
// default suits any file: 30 s plus the time its size takes at 32 KiB/s.
struct HttpGetLimits {
    uint64_t maxBytes = kGetBodyLimit; // reading stops once more arrived
    int deadlineMs = 30000;
    int64_t minBytesPerSecond = 32 * 1024; // 0: the deadline is fixed
};

// Fetches a file. True only with status 200; `body` then holds the bytes
// (at most a little over `limits.maxBytes`). On failure `error` (when given)
// receives "Ungültige Adresse", "Keine Verbindung" (also when the deadline
// passed) or "Server antwortet <status>", and nothing is kept in `body`.
bool httpGet(const std::string& url, std::vector<uint8_t>& body, const ProgressCallback& progress,
             std::string* error, const HttpGetLimits& limits = {});

// One API exchange: any method, a body with its content type, an optional
// bearer token (no Authorization header when empty). Returns the status with
// the response body (reading stops after a little over 1 000 000 bytes), or 0
// when no response arrived (bad address, connection, TLS, time-out, or the
// deadline of 60 s plus the time the request body takes at 32 KiB/s).
int32_t httpRequest(const std::string& method, const std::string& url, std::string_view body,
                    const std::string& contentType, const std::string& token, std::string& response);

// The API base URL without trailing slash: "KREL_PLAY_API_URL" when set and
// non-empty (at most 511 bytes are used), else the built-in address.
std::string apiBaseUrl();
// The host name of apiBaseUrl(), shown in "Keine Verbindung zu <host>".
std::string apiHostName();

} // namespace krel
