// HTTP exchanges over libcurl.
#include "cloud/http_transport.h"
#include "cloud/http_url.h"
#include "cloud/test_hooks.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

namespace krel {
namespace {

struct EasyFree {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using EasyPtr = std::unique_ptr<CURL, EasyFree>;
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;
using Clock = std::chrono::steady_clock;

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    CURL* curl = nullptr;
    const BodyPieceSink* sink = nullptr;
    const HttpTimeouts* timeouts = nullptr;
    const HttpDeadline* deadline = nullptr;
    curl_off_t bodySize = 0;
    Clock::time_point started = Clock::now();
    bool stopped = false; // the sink asked to stop
    bool stalled = false; // a phase time-out struck
    Clock::time_point lastActivity = Clock::now();
    curl_off_t lastUp = -1;
    curl_off_t lastDown = -1;
};

size_t onBody(char* data, size_t, size_t size, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->lastActivity = Clock::now();
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t length = -1;
    curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    try {
        if (!(*t->sink)(data, size, static_cast<int32_t>(status), length)) {
            t->stopped = true;
            return 0; // ends the transfer
        }
    } catch (...) {
        t->stopped = true;
        return 0;
    }
    return size;
}

size_t onHeader(char*, size_t, size_t size, void* user) {
    static_cast<Transfer*>(user)->lastActivity = Clock::now();
    return size;
}

// The overall deadline at this point of the exchange (see HttpDeadline).
bool pastDeadline(const Transfer& t, Clock::time_point now, curl_off_t dltotal, curl_off_t dlnow) {
    const HttpDeadline& d = *t.deadline;
    if (d.deadlineMs <= 0) return false;
    int64_t allowedMs = d.deadlineMs;
    if (d.minBytesPerSecond > 0) {
        const int64_t size = std::max<int64_t>({t.bodySize, dltotal, dlnow});
        allowedMs += size / d.minBytesPerSecond * 1000 + (size % d.minBytesPerSecond) * 1000 / d.minBytesPerSecond;
    }
    return now - t.started > std::chrono::milliseconds(allowedMs);
}

// Enforces the send and receive time-outs as stall limits (while the body is
// going out, no progress for sendMs; afterwards, no byte of the response for
// receiveMs) and the overall deadline. curl calls this at least once a
// second.
int onProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(user);
    const auto now = Clock::now();
    if (pastDeadline(*t, now, dltotal, dlnow)) {
        t->stalled = true;
        return 1;
    }
    if (ulnow != t->lastUp || dlnow != t->lastDown) {
        t->lastUp = ulnow;
        t->lastDown = dlnow;
        t->lastActivity = now;
        return 0;
    }
    const bool sending = ulnow < t->bodySize;
    const int limitMs = sending ? t->timeouts->sendMs : t->timeouts->receiveMs;
    if (now - t->lastActivity > std::chrono::milliseconds(limitMs)) {
        t->stalled = true;
        return 1; // aborts with CURLE_ABORTED_BY_CALLBACK
    }
    return 0;
}

} // namespace

HttpOutcome performExchange(const HttpExchange& ex, const BodyPieceSink& onPiece) {
    HttpOutcome out;
    globalInit();
    EasyPtr curl(curl_easy_init());
    if (!curl) return out;
    CURL* c = curl.get();

    Transfer t;
    t.curl = c;
    t.sink = &onPiece;
    t.timeouts = &ex.timeouts;
    t.deadline = &ex.deadline;
    t.bodySize = static_cast<curl_off_t>(ex.body.size());

    SlistPtr headers;
    auto addHeader = [&](const std::string& line) {
        curl_slist* next = curl_slist_append(headers.get(), line.c_str());
        if (!next) return false;
        (void)headers.release();
        headers.reset(next);
        return true;
    };
    // No accept types, no 100-continue round trip.
    bool ok = addHeader("Accept:") && addHeader("Expect:");
    for (const auto& h : ex.headers)
        ok = ok && addHeader(h);
    if (!ok) return out;

    curl_easy_setopt(c, CURLOPT_URL, ex.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, ex.userAgent.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    if (const auto split = splitUrl(ex.url); split && isLoopbackHost(split->host))
        curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(ex.timeouts.resolveMs + ex.timeouts.connectMs));
    // The deadline as its largest possible value, in case progress reports
    // stop; the size-based one is enforced in onProgress.
    if (ex.deadline.deadlineMs > 0) {
        int64_t capMs = ex.deadline.deadlineMs;
        if (ex.deadline.minBytesPerSecond > 0)
            capMs += std::max<int64_t>(ex.deadline.maxBytes, t.bodySize) / ex.deadline.minBytesPerSecond * 1000 + 1000;
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(capMs));
    }
    if (const std::string ca = httpCaFileForTesting(); !ca.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ca.c_str());

    if (ex.method == "GET" && ex.body.empty()) {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, t.bodySize);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, ex.body.empty() ? "" : ex.body.data());
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, ex.method.c_str());
    }
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    t.started = t.lastActivity = Clock::now();
    const CURLcode rc = curl_easy_perform(c);

    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t length = -1;
    curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    // A time-out or the deadline counts as no response, also after the
    // head: what arrived of the body is not to be used.
    if (status <= 0 || t.stalled) {
        out.result = HttpOutcome::Result::NoResponse;
        return out;
    }
    out.result = HttpOutcome::Result::Received;
    out.status = static_cast<int32_t>(status);
    out.contentLength = length;
    out.bodyComplete = rc == CURLE_OK;
    return out;
}

} // namespace krel
