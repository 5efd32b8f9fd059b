#include "cloud/http_client.h"

#include "app/version.h"
#include "cloud/http_transport.h"
#include "cloud/http_url.h"
#include "cloud/test_hooks.h"
#include "config/environment.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>

namespace krel {
namespace {

constexpr const char* kDefaultApiBase = "https://play.krel.de";
constexpr size_t kEnvValueMax = 511; // read through a 512-character buffer

constexpr int kRequestDeadlineMs = 60000;
constexpr int64_t kRequestMinBytesPerSecond = 32 * 1024;

HttpTimeouts scaled(HttpTimeouts t) {
    const int d = httpTimeoutDivisor();
    return {t.resolveMs / d, t.connectMs / d, t.sendMs / d, t.receiveMs / d};
}

HttpDeadline scaled(HttpDeadline deadline) {
    const int d = httpTimeoutDivisor();
    deadline.deadlineMs /= d;
    deadline.minBytesPerSecond *= d;
    return deadline;
}

// A header value must not be able to end its line and start another.
bool safeHeaderValue(std::string_view value) {
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

} // namespace

bool httpGet(const std::string& url, std::vector<uint8_t>& body, const ProgressCallback& progress,
             std::string* error, const HttpGetLimits& limits) {
    auto fail = [&](std::string text) {
        body.clear();
        if (error && !text.empty()) *error = std::move(text);
        return false;
    };
    const auto split = splitAllowedUrl(url);
    if (!split) return fail("Ungültige Adresse");

    HttpExchange ex;
    ex.method = "GET";
    ex.url = joinUrl(*split);
    ex.userAgent = fmt::format("KREL-Play/{}", kAppVersion);
    ex.timeouts = scaled({4000, 4000, 8000, 30000});
    ex.deadline = scaled(HttpDeadline{limits.deadlineMs, limits.minBytesPerSecond,
                                      static_cast<int64_t>(std::min<uint64_t>(limits.maxBytes, kGetBodyLimit))});

    body.clear();
    bool limitReached = false;
    const HttpOutcome out =
        performExchange(ex, [&](const char* data, size_t size, int32_t status, int64_t length) {
            if (status != 200) return false; // only a 200 body is kept
            body.insert(body.end(), reinterpret_cast<const uint8_t*>(data),
                        reinterpret_cast<const uint8_t*>(data) + size);
            if (progress && length > 0)
                progress(static_cast<double>(body.size()) / static_cast<double>(length));
            if (body.size() > limits.maxBytes || body.size() > kGetBodyLimit) {
                limitReached = true;
                return false;
            }
            return true;
        });
    switch (out.result) {
    case HttpOutcome::Result::NoSession:
        return fail("");
    case HttpOutcome::Result::NoResponse:
        return fail("Keine Verbindung");
    case HttpOutcome::Result::Received:
        break;
    }
    if (out.status != 200) return fail(fmt::format("Server antwortet {}", out.status));
    // A file cut off by a broken connection is a failed download, not a
    // shorter file; only our own limit may cut it.
    if (!out.bodyComplete && !limitReached) return fail("Keine Verbindung");
    if (out.contentLength > 0 && !limitReached && static_cast<int64_t>(body.size()) != out.contentLength)
        return fail("Keine Verbindung");
    return true;
}

int32_t httpRequest(const std::string& method, const std::string& url, std::string_view body,
                    const std::string& contentType, const std::string& token, std::string& response) {
    response.clear();
    const auto split = splitAllowedUrl(url);
    if (!split) return 0;
    if (!safeHeaderValue(contentType) || !safeHeaderValue(token) || !safeHeaderValue(method) ||
        method.empty())
        return 0;

    HttpExchange ex;
    ex.method = method;
    ex.url = joinUrl(*split);
    ex.userAgent = "KREL-Play";
    ex.timeouts = scaled({8000, 8000, 60000, 60000});
    ex.deadline = scaled(HttpDeadline{kRequestDeadlineMs, kRequestMinBytesPerSecond,
                                      static_cast<int64_t>(std::max<uint64_t>(body.size(), kRequestBodyLimit))});
    ex.headers.push_back("Content-Type: " + contentType);
    if (!token.empty()) ex.headers.push_back("Authorization: Bearer " + token);
    ex.body = body;

    const HttpOutcome out = performExchange(ex, [&](const char* data, size_t size, int32_t, int64_t) {
        if (response.size() > kRequestBodyLimit) return false;
        response.append(data, size);
        return true;
    });
    if (out.result != HttpOutcome::Result::Received) {
        response.clear();
        return 0;
    }
    return out.status;
}

std::string apiBaseUrl() {
    std::string base = kDefaultApiBase;
    if (auto v = environmentValue("KREL_PLAY_API_URL"); v && !v->empty()) {
        base = std::move(*v);
        if (base.size() > kEnvValueMax) base.resize(kEnvValueMax);
    }
    // Paths beginning with "/" are appended directly.
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base;
}

std::string apiHostName() {
    std::string base = apiBaseUrl();
    if (const auto split = splitUrl(base)) return split->host;
    return base;
}

} // namespace krel
