// Cue playback through libpulse (also served by PipeWire). One long-lived
// threaded main loop and context, made on the first cue. Each cue is uploaded
// once per connection into the server's sample cache and then played from
// there, so a cue costs one small request. Callers only take the loop's lock
// for a moment; everything that waits on the server happens in callbacks on
// the loop's thread. A lost or refused connection is replaced on the next cue.

#include "ui/cue_player.h"

#include <pulse/pulseaudio.h>

#include <array>
#include <memory>
#include <string>

namespace krel {
namespace {

constexpr int kCueCount = 3;

struct LoopFree {
    void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
};
struct ContextFree {
    void operator()(pa_context* c) const {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct StreamFree {
    void operator()(pa_stream* s) const {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        const pa_stream_state_t st = pa_stream_get_state(s);
        if (st == PA_STREAM_READY || st == PA_STREAM_CREATING) pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};
struct ProplistFree {
    void operator()(pa_proplist* p) const { pa_proplist_free(p); }
};
using LoopPtr = std::unique_ptr<pa_threaded_mainloop, LoopFree>;
using ContextPtr = std::unique_ptr<pa_context, ContextFree>;
using StreamPtr = std::unique_ptr<pa_stream, StreamFree>;
using ProplistPtr = std::unique_ptr<pa_proplist, ProplistFree>;

// Marks a stream or playback as a notification sound, so that the desktop's
// volume rules for events apply.
ProplistPtr eventProps(const std::string& name) {
    ProplistPtr p(pa_proplist_new());
    if (p) {
        pa_proplist_sets(p.get(), PA_PROP_MEDIA_ROLE, "event");
        pa_proplist_sets(p.get(), PA_PROP_MEDIA_NAME, name.c_str());
    }
    return p;
}

class PulseCuePlayer {
public:
    static PulseCuePlayer& instance() {
        static PulseCuePlayer player;
        return player;
    }

    ~PulseCuePlayer() {
        // Joins the loop's thread; the streams, the context and then the
        // loop are released by the members' destructors in that order.
        if (loop_) pa_threaded_mainloop_stop(loop_.get());
    }
    PulseCuePlayer(const PulseCuePlayer&) = delete;
    PulseCuePlayer& operator=(const PulseCuePlayer&) = delete;

    void play(int cue, std::span<const uint8_t> samples) {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_.get());
        Slot& slot = slots_[static_cast<size_t>(cue)];
        slot.samples = samples;
        slot.wanted = true;
        // While the connection is being made, its ready callback serves the
        // wanted cues.
        if (connect()) serve(slot);
        pa_threaded_mainloop_unlock(loop_.get());
    }

private:
    enum class Upload { None, Running, Done };
    struct Slot {
        PulseCuePlayer* owner = nullptr;
        std::string name;                 // the sample's name in the cache
        std::span<const uint8_t> samples; // lives as long as the program
        Upload upload = Upload::None;
        bool wanted = false; // play once connection and upload allow
        StreamPtr stream;    // the upload in progress
    };

    PulseCuePlayer() : loop_(pa_threaded_mainloop_new()) {
        for (int i = 0; i < kCueCount; ++i) {
            Slot& slot = slots_[static_cast<size_t>(i)];
            slot.owner = this;
            slot.name = "krel-play-cue-" + std::to_string(i);
        }
        if (!loop_) return;
        pa_threaded_mainloop_set_name(loop_.get(), "krel-cues");
        if (pa_threaded_mainloop_start(loop_.get()) < 0) loop_.reset();
    }

    // Lock held. True when the context is ready; otherwise starts a new
    // connection unless one is under way.
    bool connect() {
        if (ctx_) {
            const pa_context_state_t st = pa_context_get_state(ctx_.get());
            if (st == PA_CONTEXT_READY) return true;
            if (PA_CONTEXT_IS_GOOD(st)) return false;
        }
        // First cue, or the server went away: a new connection starts with
        // an empty cache.
        for (Slot& slot : slots_) {
            slot.stream.reset();
            slot.upload = Upload::None;
        }
        ctx_.reset();
        ProplistPtr props(pa_proplist_new());
        if (!props) return dropWanted();
        pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, "KREL Play");
        pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ID, "krel-play");
        pa_proplist_sets(props.get(), PA_PROP_MEDIA_ROLE, "event");
        ctx_.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_.get()), "KREL Play",
                                                props.get()));
        if (!ctx_) return dropWanted();
        pa_context_set_state_callback(ctx_.get(), &PulseCuePlayer::onContextState, this);
        // Never start a sound server of our own: no server means silence.
        if (pa_context_connect(ctx_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            ctx_.reset();
            return dropWanted();
        }
        return false;
    }

    bool dropWanted() {
        for (Slot& slot : slots_) slot.wanted = false;
        return false;
    }

    // Lock held, context ready.
    void serve(Slot& slot) {
        if (slot.upload == Upload::Done) {
            slot.wanted = false;
            playNow(slot);
        } else if (slot.upload == Upload::None) {
            startUpload(slot);
        } // Running: played when the upload has finished
    }

    void startUpload(Slot& slot) {
        const pa_sample_spec format{PA_SAMPLE_S16LE, 48'000, 1};
        ProplistPtr props = eventProps(slot.name);
        slot.stream.reset(pa_stream_new_with_proplist(ctx_.get(), slot.name.c_str(), &format, nullptr, props.get()));
        if (slot.stream) {
            pa_stream_set_state_callback(slot.stream.get(), &PulseCuePlayer::onUploadState, &slot);
            if (pa_stream_connect_upload(slot.stream.get(), slot.samples.size()) == 0) {
                slot.upload = Upload::Running;
                return;
            }
            slot.stream.reset();
        }
        slot.wanted = false;
    }

    void playNow(Slot& slot) {
        ProplistPtr props = eventProps(slot.name);
        pa_operation* op = pa_context_play_sample_with_proplist(
            ctx_.get(), slot.name.c_str(), nullptr, PA_VOLUME_NORM, props.get(), &PulseCuePlayer::onPlayed, &slot);
        if (op != nullptr) {
            pa_operation_unref(op);
        } else {
            slot.upload = Upload::None;
        }
    }

    // The callbacks run on the loop's thread with the lock held. Replacing
    // the context cancels its operations and detaches its streams first, so
    // no callback of an old connection reaches a slot.
    static void onContextState(pa_context* c, void* user) {
        auto* self = static_cast<PulseCuePlayer*>(user);
        const pa_context_state_t st = pa_context_get_state(c);
        if (st == PA_CONTEXT_READY) {
            for (Slot& slot : self->slots_) {
                if (slot.wanted) self->serve(slot);
            }
        } else if (!PA_CONTEXT_IS_GOOD(st)) {
            self->dropWanted();
        }
    }

    static void onUploadState(pa_stream* s, void* user) {
        Slot& slot = *static_cast<Slot*>(user);
        switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY:
            // Copied by libpulse; the server answers with TERMINATED (stored)
            // or FAILED.
            if (pa_stream_write(s, slot.samples.data(), slot.samples.size(), nullptr, 0, PA_SEEK_RELATIVE) < 0 ||
                pa_stream_finish_upload(s) < 0) {
                slot.upload = Upload::None;
                slot.wanted = false;
                slot.stream.reset();
            }
            break;
        case PA_STREAM_TERMINATED:
            slot.upload = Upload::Done;
            slot.stream.reset(); // libpulse holds its own reference during this call
            if (slot.wanted) {
                slot.wanted = false;
                slot.owner->playNow(slot);
            }
            break;
        case PA_STREAM_FAILED:
            slot.upload = Upload::None;
            slot.wanted = false;
            slot.stream.reset();
            break;
        default:
            break;
        }
    }

    static void onPlayed(pa_context*, uint32_t index, void* user) {
        // Someone removed the sample from the cache: upload it again next time.
        if (index == PA_INVALID_INDEX) static_cast<Slot*>(user)->upload = Upload::None;
    }

    LoopPtr loop_;
    ContextPtr ctx_;
    std::array<Slot, kCueCount> slots_;
};

} // namespace

void playCueSamples(int cue, std::span<const uint8_t> samples) noexcept {
    if (cue < 0 || cue >= kCueCount || samples.empty()) return;
    try {
        PulseCuePlayer::instance().play(cue, samples);
    } catch (...) {
        // Only allocation can throw here; a missing chime is harmless.
    }
}

} // namespace krel
