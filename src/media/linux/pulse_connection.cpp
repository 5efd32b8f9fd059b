#include "media/linux/pulse_connection.h"

#include "media/audio_format.h"

#include <cstring>

namespace krel::pulse {
namespace {

constexpr int kQueryTimeoutMs = 2000;
// Record buffer on the server: delivered in 10 ms fragments; it holds up to
// 1 s, so a capture thread that is starved for a while on a loaded machine
// loses nothing (the thread empties it every 4 ms, so it adds no latency).
constexpr uint32_t kBytesPerFrame = 2 * sizeof(float);
constexpr uint32_t kMaxLengthBytes = 48'000 * kBytesPerFrame;
constexpr uint32_t kFragmentBytes = 48'000 / 100 * kBytesPerFrame;

std::string text(const char* s) {
    return s != nullptr ? std::string(s) : std::string();
}

bool isGood(pa_context_state_t s) {
    return s == PA_CONTEXT_READY;
}

bool isFinal(pa_context_state_t s) {
    return s == PA_CONTEXT_READY || s == PA_CONTEXT_FAILED || s == PA_CONTEXT_TERMINATED;
}

} // namespace

void ContextFree::operator()(pa_context* c) const {
    pa_context_set_state_callback(c, nullptr, nullptr);
    pa_context_disconnect(c);
    pa_context_unref(c);
}

void StreamFree::operator()(pa_stream* s) const {
    const pa_stream_state_t st = pa_stream_get_state(s);
    if (st == PA_STREAM_READY || st == PA_STREAM_CREATING) pa_stream_disconnect(s);
    pa_stream_unref(s);
}

PulseConnection::PulseConnection() : loop_(pa_mainloop_new()) {}

PulseConnection::~PulseConnection() {
    // The context goes before the loop it is attached to.
    ctx_.reset();
}

bool PulseConnection::ready() const {
    return ctx_ && isGood(pa_context_get_state(ctx_.get()));
}

bool PulseConnection::iterateOnce(int timeoutUs) {
    if (!loop_) return false;
    if (pa_mainloop_prepare(loop_.get(), timeoutUs) < 0) return false;
    if (pa_mainloop_poll(loop_.get()) < 0) return false;
    return pa_mainloop_dispatch(loop_.get()) >= 0;
}

void PulseConnection::dispatch() {
    if (!loop_) return;
    // Bounded, so that a flood of events cannot hold the caller.
    for (int i = 0; i < 64; ++i) {
        if (pa_mainloop_iterate(loop_.get(), 0, nullptr) <= 0) break;
    }
}

bool PulseConnection::connect(int timeoutMs) {
    if (ready()) return true;
    if (!loop_) return false;
    ctx_.reset();
    pa_proplist* props = pa_proplist_new();
    if (props == nullptr) return false;
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "KREL Play");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "krel-play");
    ctx_.reset(pa_context_new_with_proplist(pa_mainloop_get_api(loop_.get()), "KREL Play", props));
    pa_proplist_free(props);
    if (!ctx_) return false;
    // Never start a sound server of our own: no server means silence.
    if (pa_context_connect(ctx_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        ctx_.reset();
        return false;
    }
    pa_context* c = ctx_.get();
    waitUntil([c] { return isFinal(pa_context_get_state(c)); }, timeoutMs);
    if (!ready()) {
        ctx_.reset();
        return false;
    }
    return true;
}

bool PulseConnection::finish(pa_operation* op, int timeoutMs) {
    if (op == nullptr) return false;
    OperationPtr hold(op);
    const bool done =
        waitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, timeoutMs);
    if (!done || pa_operation_get_state(op) != PA_OPERATION_DONE) {
        // No callback may run after this function returned.
        pa_operation_cancel(op);
        return false;
    }
    return true;
}

std::optional<PulseConnection::ServerInfo> PulseConnection::serverInfo() {
    if (!ready()) return std::nullopt;
    struct Result {
        bool got = false;
        ServerInfo info;
    } result;
    auto cb = [](pa_context*, const pa_server_info* i, void* user) {
        auto* r = static_cast<Result*>(user);
        if (i == nullptr) return;
        r->got = true;
        r->info.defaultSink = text(i->default_sink_name);
        r->info.defaultSource = text(i->default_source_name);
    };
    if (!finish(pa_context_get_server_info(ctx_.get(), cb, &result), kQueryTimeoutMs) || !result.got) {
        return std::nullopt;
    }
    return result.info;
}

std::optional<SourceEntry> PulseConnection::source(const std::string& name) {
    if (!ready() || name.empty()) return std::nullopt;
    std::optional<SourceEntry> result;
    auto cb = [](pa_context*, const pa_source_info* i, int eol, void* user) {
        if (eol != 0 || i == nullptr) return;
        auto* r = static_cast<std::optional<SourceEntry>*>(user);
        *r = SourceEntry{text(i->name), text(i->description), i->monitor_of_sink != PA_INVALID_INDEX};
    };
    if (!finish(pa_context_get_source_info_by_name(ctx_.get(), name.c_str(), cb, &result), kQueryTimeoutMs)) {
        return std::nullopt;
    }
    return result;
}

std::optional<std::string> PulseConnection::sinkMonitor(const std::string& sinkName) {
    if (!ready() || sinkName.empty()) return std::nullopt;
    std::optional<std::string> result;
    auto cb = [](pa_context*, const pa_sink_info* i, int eol, void* user) {
        if (eol != 0 || i == nullptr) return;
        *static_cast<std::optional<std::string>*>(user) = text(i->monitor_source_name);
    };
    if (!finish(pa_context_get_sink_info_by_name(ctx_.get(), sinkName.c_str(), cb, &result),
                kQueryTimeoutMs)) {
        return std::nullopt;
    }
    if (result && result->empty()) return std::nullopt;
    return result;
}

std::optional<std::vector<SourceEntry>> PulseConnection::sources() {
    if (!ready()) return std::nullopt;
    std::vector<SourceEntry> list;
    auto cb = [](pa_context*, const pa_source_info* i, int eol, void* user) {
        if (eol != 0 || i == nullptr) return;
        static_cast<std::vector<SourceEntry>*>(user)->push_back(
            SourceEntry{text(i->name), text(i->description), i->monitor_of_sink != PA_INVALID_INDEX});
    };
    if (!finish(pa_context_get_source_info_list(ctx_.get(), cb, &list), kQueryTimeoutMs)) return std::nullopt;
    return list;
}

StreamPtr PulseConnection::record(const std::string& device, const char* streamName, int timeoutMs) {
    if (!ready() || device.empty()) return nullptr;
    pa_sample_spec sampleSpec{};
    sampleSpec.format = PA_SAMPLE_FLOAT32LE;
    sampleSpec.rate = static_cast<uint32_t>(kAudioRate);
    sampleSpec.channels = kAudioChannels;
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    StreamPtr stream(pa_stream_new(ctx_.get(), streamName, &sampleSpec, &map));
    if (!stream) return nullptr;

    pa_buffer_attr attr;
    std::memset(&attr, 0xFF, sizeof attr); // every field "server default"
    attr.maxlength = kMaxLengthBytes;
    attr.fragsize = kFragmentBytes;
    // DONT_MOVE: when the device goes away the stream fails instead of
    // silently moving to another device (which could be the wrong source).
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream.get(), device.c_str(), &attr, flags) < 0) return nullptr;
    pa_stream* s = stream.get();
    waitUntil(
        [s] {
            const pa_stream_state_t st = pa_stream_get_state(s);
            return st == PA_STREAM_READY || st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED;
        },
        timeoutMs);
    if (pa_stream_get_state(s) != PA_STREAM_READY) return nullptr;
    return stream;
}

} // namespace krel::pulse
