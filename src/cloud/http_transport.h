#pragma once
// One HTTP exchange over the platform's HTTP service (linux/: libcurl).
//
// Contract: performExchange blocks the calling thread for one request and
// its response and shares nothing with other calls, so any number of threads
// may call it at once. The URL has already passed splitAllowedUrl. TLS
// certificates and host names are verified; the proxy is taken from the
// environment (never for loopback hosts); redirects are not followed.
// Time-outs are per phase: resolving and connecting together, then each
// stall while sending and while waiting for or receiving the response. Over
// all phases, the exchange must end within its deadline: `deadlineMs`, plus,
// when `minBytesPerSecond` is set, the time the larger of request body and
// response body (its announced length, or what arrived so far) takes at
// that rate. A server that trickles its reply thus cannot hold a caller.
// `onPiece` is called on the calling thread for every piece of the response
// body of any status, with that status and the announced length (-1 if none); returning false stops reading
// (the exchange then still counts as received). Nothing here throws.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace krel {

struct HttpTimeouts {
    int resolveMs = 0;
    int connectMs = 0;
    int sendMs = 0;
    int receiveMs = 0;
};

struct HttpDeadline {
    int deadlineMs = 0;            // 0: no overall deadline
    int64_t minBytesPerSecond = 0; // 0: the deadline does not grow with the size
    int64_t maxBytes = 0;          // the most the exchange can carry (hard cap)
};

struct HttpExchange {
    std::string method;
    std::string url;
    std::string userAgent;
    std::vector<std::string> headers; // "Name: value", without line ends
    std::string_view body;
    HttpTimeouts timeouts;
    HttpDeadline deadline;
};

struct HttpOutcome {
    enum class Result {
        NoSession,  // the request could not be set up
        NoResponse, // sending or receiving the response head failed, or a
                    // time-out or the deadline struck
        Received,   // a status arrived; the body may have ended early
    };
    Result result = Result::NoSession;
    int32_t status = 0;
    int64_t contentLength = -1; // -1 when the reply names none
    bool bodyComplete = false;  // false when the connection broke inside the body
};

using BodyPieceSink =
    std::function<bool(const char* data, size_t size, int32_t status, int64_t contentLength)>;

HttpOutcome performExchange(const HttpExchange& exchange, const BodyPieceSink& onPiece);

} // namespace krel
