// HTTP exchanges over WinHTTP, in synchronous mode.
//
// Every call opens its own session, connection and request and closes them
// again, so calls share nothing. WinHTTP's send and receive time-outs are
// per operation on the socket, so they already act as the stall limits of
// the sending and receiving phases; only the overall deadline needs help
// here: a watchdog thread closes the request handle when it passes, which
// makes the blocked WinHTTP call on the exchange's thread return. Not every
// WinHTTP lets a closed handle end a synchronous call (Wine's keeps waiting
// in the socket), so each blocking call also gets its time-outs cut down to
// what is left of the deadline.
//
// TLS certificates are checked against the system's certificate store;
// httpCaFileForTesting() has no counterpart here, so a test that talks to a
// server with its own CA has to put that CA into the store first.
#include "cloud/http_transport.h"
#include "cloud/http_url.h"
#include "config/win/wide_text.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace krel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kReadBufferSize = 64 * 1024;
// Keeps the size-based deadline far from the clock's range.
constexpr int64_t kMaxAllowedMs = int64_t{1} << 40;
// A capped time-out ends a little after the deadline, so that normally the
// watchdog has already had its say when the blocked call returns.
constexpr int64_t kCapSlackMs = 20;

// One HINTERNET, closed exactly once.
class InternetHandle {
public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() { reset(); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    InternetHandle(InternetHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    InternetHandle& operator=(InternetHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.handle_, nullptr));
        return *this;
    }

    HINTERNET get() const { return handle_; }
    HINTERNET release() { return std::exchange(handle_, nullptr); }
    explicit operator bool() const { return handle_ != nullptr; }

    void reset(HINTERNET handle = nullptr) {
        if (handle_) WinHttpCloseHandle(handle_);
        handle_ = handle;
    }

private:
    HINTERNET handle_ = nullptr;
};

// The request handle, shared between the exchange's thread and the deadline
// watchdog. Whoever takes it out of here under the lock is the one to close
// it: the watchdog when the deadline passes, otherwise the destructor after
// the watchdog has stopped. The exchange's thread fetches the handle anew
// right before every WinHTTP call, so once the deadline has struck it starts
// no further call (short of one it was entering at that very moment, which
// then fails on the closed handle); a call that is under way when the
// watchdog closes the handle fails with ERROR_WINHTTP_OPERATION_CANCELLED.
class GuardedRequest {
public:
    GuardedRequest(InternetHandle request, const HttpDeadline& deadline, int64_t bodySize)
        : request_(request.release()), deadline_(deadline), bodySize_(bodySize) {}

    ~GuardedRequest() {
        stop();
        if (request_) WinHttpCloseHandle(request_);
    }

    GuardedRequest(const GuardedRequest&) = delete;
    GuardedRequest& operator=(const GuardedRequest&) = delete;

    // Starts the clock and, with a deadline, the watchdog. Throws when no
    // thread can be started.
    void start() {
        started_ = Clock::now();
        if (deadline_.deadlineMs > 0) watchdog_ = std::thread([this] { watch(); });
    }

    // Ends the watchdog; afterwards expired() no longer changes.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (watchdog_.joinable()) watchdog_.join();
    }

    // The request handle, or null once the deadline has struck.
    HINTERNET handle() {
        std::lock_guard lock(mutex_);
        return request_;
    }

    // True once the watchdog has closed the handle.
    bool expired() const { return expired_.load(); }

    // The watchdog's verdict, or the deadline passed already, for a call
    // that failed because its capped time-out ran out first.
    bool pastDeadline() const {
        return expired() || (deadline_.deadlineMs > 0 && Clock::now() >= allowedUntil());
    }

    // A WinHTTP time-out cut down to what is left of the deadline as it
    // stands now. 0 is WinHTTP's "no limit".
    int capped(int timeoutMs) const {
        if (deadline_.deadlineMs <= 0) return timeoutMs;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(allowedUntil() - Clock::now());
        const int64_t capMs = std::clamp<int64_t>(left.count() + kCapSlackMs, 1, INT_MAX);
        return timeoutMs <= 0 ? static_cast<int>(capMs) : static_cast<int>(std::min<int64_t>(timeoutMs, capMs));
    }

    // Progress that lets the deadline grow. The watchdog reads these when it
    // wakes; as the allowed time only grows with them, it needs no wake-up
    // of its own when they change.
    void noteContentLength(int64_t length) { contentLength_.store(length); }
    void noteReceived(int64_t total) { received_.store(total); }

private:
    // The same rule as on Linux: deadlineMs, plus the time the larger of
    // request body, announced response length and what arrived so far takes
    // at minBytesPerSecond.
    Clock::time_point allowedUntil() const {
        int64_t allowedMs = deadline_.deadlineMs;
        if (deadline_.minBytesPerSecond > 0) {
            const int64_t rate = deadline_.minBytesPerSecond;
            const int64_t size = std::max<int64_t>({bodySize_, contentLength_.load(), received_.load()});
            const int64_t whole = std::min(size / rate, kMaxAllowedMs / 1000);
            allowedMs += whole * 1000 + (size % rate) * 1000 / rate;
        }
        allowedMs = std::min(allowedMs, kMaxAllowedMs);
        return started_ + std::chrono::milliseconds(allowedMs);
    }

    void watch() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (wake_.wait_until(lock, allowedUntil(), [this] { return stopping_; })) return;
            // Data may have arrived meanwhile and moved the deadline on.
            if (Clock::now() >= allowedUntil()) break;
        }
        expired_.store(true);
        HINTERNET request = std::exchange(request_, nullptr);
        lock.unlock();
        if (request) WinHttpCloseHandle(request);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    HINTERNET request_ = nullptr; // guarded by mutex_
    bool stopping_ = false;       // guarded by mutex_
    std::atomic<bool> expired_{false};
    std::atomic<int64_t> contentLength_{-1};
    std::atomic<int64_t> received_{0};
    const HttpDeadline deadline_;
    const int64_t bodySize_;
    Clock::time_point started_ = Clock::now();
    std::thread watchdog_;
};

HINTERNET openSession(const std::wstring& userAgent) {
    // Automatic proxy discovery needs Windows 8.1 or later; older systems
    // refuse it, and then the configured WinHTTP proxy is used.
    HINTERNET session = WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        session = WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    return session;
}

bool setDwordOption(HINTERNET handle, DWORD option, DWORD value) {
    return WinHttpSetOption(handle, option, &value, sizeof(value)) != FALSE;
}

std::optional<int32_t> queryStatus(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    if (status == 0 || status > static_cast<DWORD>(std::numeric_limits<int32_t>::max())) return std::nullopt;
    return static_cast<int32_t>(status);
}

// The announced body length, -1 when the reply names none (or names
// something that is not a length).
int64_t queryContentLength(HINTERNET request) {
    ULONGLONG value = 0;
    DWORD size = sizeof(value);
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER64,
                            WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX)) {
        return value <= static_cast<ULONGLONG>(std::numeric_limits<int64_t>::max()) ? static_cast<int64_t>(value)
                                                                                    : -1;
    }
    if (GetLastError() == ERROR_WINHTTP_HEADER_NOT_FOUND) return -1;

    // Without 64-bit number queries (older systems, Wine) read it as text.
    wchar_t text[64] = {};
    size = sizeof(text) - sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    const std::wstring_view digits(text, size / sizeof(wchar_t));
    const size_t first = digits.find_first_not_of(L" \t");
    const size_t last = digits.find_last_not_of(L" \t");
    if (first == std::wstring_view::npos) return -1;
    int64_t length = 0;
    for (wchar_t c : digits.substr(first, last - first + 1)) {
        if (c < L'0' || c > L'9') return -1;
        if (length > (std::numeric_limits<int64_t>::max() - 9) / 10) return -1;
        length = length * 10 + (c - L'0');
    }
    return length;
}

// Whether a reply of this status to this method carries a body at all.
bool replyHasBody(std::string_view method, int32_t status) {
    return method != "HEAD" && status >= 200 && status != 204 && status != 304;
}

HttpOutcome exchangeOnce(const HttpExchange& ex, const BodyPieceSink& onPiece) {
    HttpOutcome out;
    const auto split = splitUrl(ex.url);
    if (!split) return out;
    if (ex.body.size() > std::numeric_limits<DWORD>::max()) return out;
    const DWORD bodySize = static_cast<DWORD>(ex.body.size());

    // WinHttpConnect takes IPv6 literals in brackets, as they appear in a URL.
    const bool v6Literal = split->host.find(':') != std::string::npos;
    const std::wstring host = wideFromUtf8(v6Literal ? "[" + split->host + "]" : split->host);
    const std::wstring path = wideFromUtf8(split->path);
    const std::wstring method = wideFromUtf8(ex.method);
    const std::wstring userAgent = wideFromUtf8(ex.userAgent);
    std::string headerBlock;
    for (const auto& line : ex.headers) {
        if (!headerBlock.empty()) headerBlock += "\r\n";
        headerBlock += line;
    }
    // Our header values are tokens and media types; WinHTTP narrows the
    // block again before it goes out.
    const std::wstring headers = wideFromUtf8(headerBlock);
    if (host.empty() || path.empty() || method.empty()) return out;

    InternetHandle session(openSession(userAgent));
    if (!session) return out;
    // Per-operation limits. They bound each stall while sending and while
    // receiving; the overall deadline is the watchdog's.
    const HttpTimeouts& t = ex.timeouts;
    if (!WinHttpSetTimeouts(session.get(), t.resolveMs, t.connectMs, t.sendMs, t.receiveMs)) return out;

    InternetHandle connection(WinHttpConnect(session.get(), host.c_str(), split->port, 0));
    if (!connection) return out;

    InternetHandle opened(WinHttpOpenRequest(connection.get(), method.c_str(), path.c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             split->secure ? WINHTTP_FLAG_SECURE : 0));
    if (!opened) return out;
    // Redirects are the caller's business. Certificate checks stay as they
    // are: no SECURITY_FLAG_IGNORE_* is ever set.
    if (!setDwordOption(opened.get(), WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS)) return out;
    if (isLoopbackHost(split->host)) {
        WINHTTP_PROXY_INFO direct{};
        direct.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
        if (!WinHttpSetOption(opened.get(), WINHTTP_OPTION_PROXY, &direct, sizeof(direct))) return out;
    }

    std::unique_ptr<char[]> buffer(new char[kReadBufferSize]);
    GuardedRequest request(std::move(opened), ex.deadline, static_cast<int64_t>(bodySize));
    request.start();

    auto noResponse = [] {
        HttpOutcome failed;
        failed.result = HttpOutcome::Result::NoResponse;
        return failed;
    };
    // The handle for the next blocking call, with the receive limits set
    // (cut down to the deadline); null once the deadline has struck. Waiting
    // for the response head has a limit of its own, by default longer than
    // ours.
    auto handleForReceiving = [&]() -> HINTERNET {
        HINTERNET h = request.handle();
        if (!h) return nullptr;
        if (const int limit = request.capped(t.receiveMs); limit > 0) {
            (void)setDwordOption(h, WINHTTP_OPTION_RECEIVE_TIMEOUT, static_cast<DWORD>(limit));
            (void)setDwordOption(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, static_cast<DWORD>(limit));
        }
        return h;
    };

    // Resolving, connecting and sending.
    HINTERNET h = request.handle();
    if (!h) return noResponse();
    (void)WinHttpSetTimeouts(h, request.capped(t.resolveMs), request.capped(t.connectMs),
                             request.capped(t.sendMs), request.capped(t.receiveMs));
    if (const int limit = request.capped(t.receiveMs); limit > 0)
        (void)setDwordOption(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, static_cast<DWORD>(limit));
    // WinHTTP only reads the body; the parameter is just not declared const.
    const bool sent =
        WinHttpSendRequest(h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                           static_cast<DWORD>(headers.size()),
                           bodySize > 0 ? const_cast<char*>(ex.body.data()) : WINHTTP_NO_REQUEST_DATA, bodySize,
                           bodySize, 0) != FALSE;
    if (!sent) return noResponse();
    // Waiting for the response head.
    h = handleForReceiving();
    if (!h || !WinHttpReceiveResponse(h, nullptr)) return noResponse();
    h = request.handle();
    const std::optional<int32_t> status = h ? queryStatus(h) : std::nullopt;
    if (!status) return noResponse();
    const int64_t contentLength = queryContentLength(h);
    request.noteContentLength(contentLength);

    out.result = HttpOutcome::Result::Received;
    out.status = *status;
    out.contentLength = contentLength;

    // The body, piece by piece, through the one buffer.
    int64_t received = 0;
    bool ended = false;
    bool broken = false; // a call failed (or found the handle gone)
    for (;;) {
        h = handleForReceiving();
        DWORD available = 0;
        if (!h || !WinHttpQueryDataAvailable(h, &available)) {
            broken = true;
            break;
        }
        if (available == 0) {
            ended = true;
            break;
        }
        h = request.handle();
        DWORD read = 0;
        if (!h || !WinHttpReadData(h, buffer.get(), std::min(available, kReadBufferSize), &read)) {
            broken = true;
            break;
        }
        if (read == 0) {
            ended = true;
            break;
        }
        received += read;
        request.noteReceived(received);
        bool more = false;
        try {
            more = onPiece(buffer.get(), read, out.status, contentLength);
        } catch (...) {
            more = false;
        }
        if (!more) break;
    }
    const bool pastDeadline = broken && request.pastDeadline();
    request.stop();

    // Once the deadline struck, what arrived is not to be used.
    if (pastDeadline || request.expired()) return noResponse();
    // A connection that closed early may look like the end of the body.
    if (ended && contentLength >= 0 && received < contentLength && replyHasBody(ex.method, out.status))
        ended = false;
    out.bodyComplete = ended;
    return out;
}

} // namespace

HttpOutcome performExchange(const HttpExchange& exchange, const BodyPieceSink& onPiece) {
    try {
        return exchangeOnce(exchange, onPiece);
    } catch (...) {
        // Only setting up can throw (memory, the watchdog thread); the sink's
        // own exceptions are caught where it is called.
        return HttpOutcome{};
    }
}

} // namespace krel
