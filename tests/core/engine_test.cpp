// The engine end to end: a real X display with test windows, the real
// PulseAudio with a tone on the system audio, the software encoder, clips
// and recordings written to disk and read back.

#include "core/engine.h"

#include "audio_test_support.h"
#include "config/data_directory.h"
#include "core/clip_naming.h"
#include "core/clock.h"
#include "core/mp4_writer.h"
#include "temp_dir.h"
#include "test_media.h"
#include "video_test_support.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>
// Xlib after GoogleTest: its None and Bool macros clash with gtest's names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <csignal>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace krel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr int64_t kSec = 10'000'000;

// Plays the window manager's part for the engine: the root's active window
// and the windows' process ids.
class FakeWindowManager {
public:
    FakeWindowManager() : dpy_(XOpenDisplay(nullptr)) {
        if (!dpy_) throw std::runtime_error("no X display (run inside scripts/services.sh)");
    }
    ~FakeWindowManager() {
        XDeleteProperty(dpy_, DefaultRootWindow(dpy_), atom("_NET_ACTIVE_WINDOW"));
        XSync(dpy_, False);
        XCloseDisplay(dpy_);
    }
    void activate(uint64_t window) {
        const unsigned long w = window;
        XChangeProperty(dpy_, DefaultRootWindow(dpy_), atom("_NET_ACTIVE_WINDOW"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&w), 1);
        XSync(dpy_, False);
    }
    void setPid(uint64_t window, pid_t pid) {
        const unsigned long p = static_cast<unsigned long>(pid);
        XChangeProperty(dpy_, window, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&p), 1);
        XSync(dpy_, False);
    }

private:
    Atom atom(const char* name) { return XInternAtom(dpy_, name, False); }
    Display* dpy_;
};

// A process whose executable is called `name` (a copy of sleep), for windows
// of foreign programs.
class NamedProcess {
public:
    NamedProcess(const fs::path& dir, const std::string& name) {
        const fs::path exe = dir / name;
        fs::copy_file("/bin/sleep", exe, fs::copy_options::overwrite_existing);
        fs::permissions(exe, fs::perms::owner_all);
        const std::string path = exe.string();
        char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("60"), nullptr};
        if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    }
    ~NamedProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A sound server socket that takes connections and never answers, set as
// the server of the audio engines started while it lives.
class SilentSoundServer {
public:
    explicit SilentSoundServer(const fs::path& socketPath) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0)
            throw std::runtime_error("no socket for the silent sound server");
        if (const char* old = std::getenv("PULSE_SERVER")) previous_ = old;
        ::setenv("PULSE_SERVER", ("unix:" + socketPath.string()).c_str(), 1);
    }
    ~SilentSoundServer() {
        if (previous_) {
            ::setenv("PULSE_SERVER", previous_->c_str(), 1);
        } else {
            ::unsetenv("PULSE_SERVER");
        }
        ::close(fd_);
    }

private:
    int fd_;
    std::optional<std::string> previous_;
};

struct ClipResult {
    fs::path path;
    std::string error;
};

ClipResult saveClipAndWait(Engine& engine) {
    std::promise<ClipResult> promise;
    auto future = promise.get_future();
    engine.saveClip([&](const fs::path& p, const std::string& e) { promise.set_value({p, e}); });
    if (future.wait_for(30s) != std::future_status::ready) return {{}, "timeout"};
    return future.get();
}

// The packets of one stream of an MP4 file, times in 100 ns from 0, and the
// stream's codec configuration.
std::vector<PacketPtr> readStream(const fs::path& file, AVMediaType type, std::vector<uint8_t>* extradata = nullptr) {
    AVFormatContext* ctx = nullptr;
    std::vector<PacketPtr> out;
    if (avformat_open_input(&ctx, file.c_str(), nullptr, nullptr) < 0) return out;
    avformat_find_stream_info(ctx, nullptr);
    const int index = av_find_best_stream(ctx, type, -1, -1, nullptr, 0);
    if (index >= 0 && extradata) {
        const AVCodecParameters* par = ctx->streams[index]->codecpar;
        extradata->assign(par->extradata, par->extradata + par->extradata_size);
    }
    AVPacket* pkt = av_packet_alloc();
    while (index >= 0 && av_read_frame(ctx, pkt) >= 0) {
        if (pkt->stream_index == index) {
            auto p = std::make_shared<Packet>();
            const AVRational tb = ctx->streams[index]->time_base;
            p->pts = av_rescale_q(pkt->pts, tb, {1, static_cast<int>(kSec)});
            p->duration = av_rescale_q(pkt->duration, tb, {1, static_cast<int>(kSec)});
            p->keyframe = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
            p->stream = type == AVMEDIA_TYPE_VIDEO ? 0 : 1;
            p->data.assign(pkt->data, pkt->data + pkt->size);
            out.push_back(p);
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return out;
}

// Logs into a data folder of this test process; needs the PulseAudio (and
// the X display) of scripts/services.sh.
class EngineTest : public test::PulseAudioTest {
protected:
    void SetUp() override {
        test::PulseAudioTest::SetUp();
        settings_.clipDir = clips_.path().string();
        settings_.fps = 30;
        settings_.replaySeconds = 3;
        settings_.qualityPreset = 0;
        settings_.micEnabled = false;
    }

    // Waits until the replay buffer spans at least `seconds`.
    bool waitForReplay(Engine& engine, double seconds, std::chrono::seconds limit = 20s) {
        return test::waitFor([&] { return engine.status().replaySeconds >= seconds; }, limit);
    }

    test::TempDir clips_;
    Settings settings_;
};

TEST_F(EngineTest, WindowModeClipCarriesPictureAndTone) {
    test::TonePlayer tone("krel_null", 440, 0.5, 440, 0.5);
    test::TestWindow window(100, 100, 320, 240, 200, 40, 40, "KREL Testfenster");
    Engine engine;
    settings_.mode = CaptureMode::Window;
    settings_.windowTitle = "KREL Testfenster";
    settings_.scale = ScaleMode::Original;
    settings_.replayRestartAfterClip = false;
    engine.setSettings(settings_);
    engine.start();
    EngineStatus st = engine.status();
    ASSERT_EQ(st.error, "");
    EXPECT_EQ(st.source, "KREL Testfenster");
    EXPECT_EQ(st.mode, "Fenster");
    EXPECT_EQ(st.outW, 320u);
    EXPECT_EQ(st.outH, 240u);
    EXPECT_EQ(st.encoder, "Software (x264) · H.264");
    EXPECT_TRUE(st.replayActive);
    // Until the buffer reaches past the 3 s asked for: with 3 s and key
    // frames every 2 s it spans between 3 s and one frame short of 5 s.
    for (int i = 0; i < 40 && engine.status().replaySeconds < 4; ++i) {
        window.setColour(static_cast<uint8_t>(i * 6), 90, 200);
        std::this_thread::sleep_for(150ms);
    }
    ASSERT_TRUE(waitForReplay(engine, 4));

    const ClipResult clip = saveClipAndWait(engine);
    ASSERT_EQ(clip.error, "");
    EXPECT_EQ(clip.path.parent_path(), clips_.path());
    EXPECT_EQ(clip.path.filename().string().rfind("KREL Testfenster 20", 0), 0u) << clip.path;
    EXPECT_EQ(engine.status().lastClip, clip.path.string());

    const auto probe = test::ffprobe(clip.path);
    ASSERT_EQ(probe["streams"].size(), 2u) << probe.dump();
    const auto rb = test::readBack(clip.path);
    ASSERT_TRUE(rb.video() && rb.audio());
    EXPECT_EQ(rb.video()->codec, "h264");
    EXPECT_EQ(rb.video()->width, 320);
    EXPECT_EQ(rb.video()->height, 240);
    EXPECT_TRUE(rb.video()->firstIsKey);
    EXPECT_EQ(rb.video()->firstPts, 0.0);
    EXPECT_EQ(rb.video()->decodeErrors, 0);
    // 3 s requested; the clip starts at the key frame at least that far back
    // (key frames every 2 s).
    EXPECT_GE(rb.video()->lastEnd, 2.9);
    EXPECT_LE(rb.video()->lastEnd, 5.2);
    EXPECT_GE(rb.audio()->minPts, 0.0);

    // The tone is in the clip's audio.
    StreamDescription aac;
    aac.codec = Codec::Aac;
    aac.sampleRate = 48000;
    aac.channels = 2;
    const auto audio = readStream(clip.path, AVMEDIA_TYPE_AUDIO, &aac.extradata);
    const test::Pcm pcm = test::decodeAac(aac, audio);
    ASSERT_GT(pcm.left.size(), 48000u);
    const size_t mid = pcm.left.size() / 2;
    EXPECT_NEAR(test::zeroCrossingFrequency(pcm.left, mid - 24000, mid + 24000), 440.0, 5.0);
    EXPECT_GT(test::toneAmplitude(pcm.left, mid - 24000, mid + 24000, 440.0), 0.2);

    // The clip folder deleted meanwhile is made again.
    fs::remove_all(clips_.path());
    const ClipResult again = saveClipAndWait(engine);
    EXPECT_EQ(again.error, "");
    EXPECT_TRUE(fs::exists(again.path));

    // Two saves requested back to back (one second): the second name carries
    // " (2)" because the first is reserved before its file exists.
    std::promise<ClipResult> pa, pb;
    engine.saveClip([&](const fs::path& p, const std::string& e) { pa.set_value({p, e}); });
    engine.saveClip([&](const fs::path& p, const std::string& e) { pb.set_value({p, e}); });
    const ClipResult a = pa.get_future().get();
    const ClipResult b = pb.get_future().get();
    ASSERT_EQ(a.error, "");
    ASSERT_EQ(b.error, "");
    // Same base name (source and second): the later one carries a counter.
    const std::regex shape(R"((KREL Testfenster \d{4}-\d\d-\d\d \d\d-\d\d-\d\d)( \((\d+)\))?)");
    std::smatch ma, mb;
    const std::string stemA = a.path.stem().string(), stemB = b.path.stem().string();
    ASSERT_TRUE(std::regex_match(stemA, ma, shape)) << stemA;
    ASSERT_TRUE(std::regex_match(stemB, mb, shape)) << stemB;
    EXPECT_NE(a.path, b.path);
    if (ma[1] == mb[1]) {
        ASSERT_TRUE(mb[3].matched) << stemB;
        EXPECT_GT(std::stoi(mb[3]), ma[3].matched ? std::stoi(ma[3]) : 1);
    }
}

TEST_F(EngineTest, RefusalsAndStartErrors) {
    Engine engine;
    // No pipeline: the same answer even with replay off.
    engine.setSettings(settings_);
    engine.setReplayEnabled(false);
    EXPECT_EQ(saveClipAndWait(engine).error, "Gerade läuft keine Aufnahme (kein Spiel/Fenster erkannt)");
    engine.setReplayEnabled(true);

    settings_.mode = CaptureMode::Window;
    settings_.windowTitle = "";
    engine.setSettings(settings_);
    engine.start();
    EXPECT_EQ(engine.status().error, "Kein Fenster ausgewählt – unter Aufnahme ein Fenster wählen");
    settings_.windowTitle = "Gibt es nicht";
    engine.setSettings(settings_);
    engine.start();
    EXPECT_EQ(engine.status().error, "Ausgewähltes Fenster ist nicht offen");
    EXPECT_NE(test::logText().find("Start fehlgeschlagen: Ausgewähltes Fenster ist nicht offen"), std::string::npos);
    const EngineStatus idle = engine.status();
    EXPECT_EQ(idle.outW, 0u);
    EXPECT_EQ(idle.encoder, "");
    EXPECT_FALSE(idle.replayActive);

    // A running pipeline with replay off, then on with restart-after-clip.
    test::TestWindow window(50, 50, 200, 160, 10, 200, 10, "KREL Verweigerung");
    settings_.windowTitle = "KREL Verweigerung";
    settings_.replayRestartAfterClip = true;
    engine.setSettings(settings_);
    engine.start();
    ASSERT_EQ(engine.status().error, "");
    engine.setReplayEnabled(false);
    EXPECT_EQ(engine.status().replayBytes, 0u);
    EXPECT_EQ(saveClipAndWait(engine).error, "Videobeweis ist aus");
    engine.setReplayEnabled(true);
    ASSERT_TRUE(waitForReplay(engine, 1.5));
    const ClipResult first = saveClipAndWait(engine);
    EXPECT_EQ(first.error, "");
    // Straight after: less than a second of new video.
    EXPECT_EQ(saveClipAndWait(engine).error, "Seit dem letzten Clip ist noch nichts Neues passiert");
    // A few seconds later a clip of about that length, starting with the
    // key frame requested after the first save.
    std::this_thread::sleep_for(2500ms);
    const ClipResult later = saveClipAndWait(engine);
    ASSERT_EQ(later.error, "");
    const auto rb = test::readBack(later.path);
    EXPECT_TRUE(rb.video()->firstIsKey);
    EXPECT_GE(rb.video()->lastEnd, 1.5);
    EXPECT_LE(rb.video()->lastEnd, 3.5);

    // Without restart-after-clip, an empty buffer has its own text.
    settings_.replayRestartAfterClip = false;
    engine.setSettings(settings_);
    engine.setReplayEnabled(false);
    engine.setReplayEnabled(true);
    EXPECT_EQ(saveClipAndWait(engine).error, "Videobeweis hat noch nichts aufgenommen");
}

TEST_F(EngineTest, MonitorModeScalesToTheRequestedSize) {
    Engine engine;
    settings_.mode = CaptureMode::Monitor;
    settings_.monitorIndex = 5; // beyond the monitors: the primary, named after the index
    settings_.scale = ScaleMode::Fit;
    settings_.outWidth = 640;
    settings_.outHeight = 360;
    engine.setSettings(settings_);
    engine.start();
    const EngineStatus st = engine.status();
    ASSERT_EQ(st.error, "");
    EXPECT_EQ(st.source, "Monitor 6");
    EXPECT_EQ(st.srcW, 1920u);
    EXPECT_EQ(st.outW, 640u);
    EXPECT_EQ(st.outH, 360u);
    ASSERT_TRUE(waitForReplay(engine, 2.5));
    const ClipResult clip = saveClipAndWait(engine);
    ASSERT_EQ(clip.error, "");
    const auto probe = test::ffprobe(clip.path);
    ASSERT_GE(probe["streams"].size(), 1u);
    EXPECT_EQ(probe["streams"][0]["width"], 640);
    EXPECT_EQ(probe["streams"][0]["height"], 360);
    EXPECT_EQ(clip.path.filename().string().rfind("Monitor 6 ", 0), 0u);
}

TEST_F(EngineTest, GameModeFollowsFullScreenWindows) {
    FakeWindowManager wm;
    NamedProcess browser(clips_.path(), "firefox");
    Engine engine;
    settings_.mode = CaptureMode::Game;
    settings_.scale = ScaleMode::Stretch;
    settings_.outWidth = 320;
    settings_.outHeight = 180;
    engine.setSettings(settings_);
    engine.start();
    EXPECT_EQ(engine.status().outW, 0u); // no game yet

    // A window that does not cover its monitor is no game.
    test::TestWindow small(10, 10, 800, 600, 0, 0, 255, "Kleines Fenster");
    wm.activate(small.id());
    engine.onForegroundChanged(small.id());
    EXPECT_EQ(engine.status().outW, 0u);

    // A full-screen browser is no game either.
    test::TestWindow browserWindow(0, 0, 1920, 1080, 255, 255, 0, "Browser");
    wm.setPid(browserWindow.id(), browser.pid());
    wm.activate(browserWindow.id());
    engine.onForegroundChanged(browserWindow.id());
    EXPECT_EQ(engine.status().outW, 0u);

    // A full-screen window of an unknown program is.
    test::TestWindow game(0, 0, 1920, 1080, 255, 0, 0, "Spiel Eins");
    wm.activate(game.id());
    engine.onForegroundChanged(game.id());
    EngineStatus st = engine.status();
    EXPECT_EQ(st.source, "Spiel Eins");
    EXPECT_EQ(st.mode, "Nur Spiel");
    EXPECT_EQ(st.outW, 320u);

    // Back to the desktop keeps capturing; a second game takes over.
    wm.activate(small.id());
    engine.onForegroundChanged(small.id());
    EXPECT_EQ(engine.status().source, "Spiel Eins");
    test::TestWindow second(0, 0, 1920, 1080, 0, 255, 0, "Spiel Zwei");
    wm.activate(second.id());
    engine.onForegroundChanged(second.id());
    EXPECT_EQ(engine.status().source, "Spiel Zwei");
    ASSERT_TRUE(waitForReplay(engine, 1.0));

    // The captured game closes: the source-closed line, the pipeline stops,
    // the replay contents stay.
    second.destroy();
    ASSERT_TRUE(test::waitFor([&] { return engine.status().outW == 0; }, 5s));
    EXPECT_NE(test::logText().find("Quelle geschlossen – Aufnahme pausiert bis zum nächsten Spiel/Fenster"),
              std::string::npos);
    EXPECT_GT(engine.status().replayBytes, 0u);

    // The game is gone, its last seconds are not: they are saved as the
    // stream its pipeline wrote, named after it.
    const ClipResult after = saveClipAndWait(engine);
    ASSERT_EQ(after.error, "");
    EXPECT_EQ(after.path.filename().string().rfind("Spiel Zwei 20", 0), 0u) << after.path;
    const auto rb = test::readBack(after.path);
    ASSERT_TRUE(rb.video());
    EXPECT_EQ(rb.video()->width, 320);
    EXPECT_TRUE(rb.video()->firstIsKey);
    EXPECT_EQ(rb.video()->decodeErrors, 0);
    EXPECT_GT(rb.video()->decodedFrames, 10);
}

TEST_F(EngineTest, RecordingWithPauseAndSettingsChange) {
    test::TestWindow window(200, 200, 256, 192, 30, 30, 30, "KREL Aufnahme");
    Engine engine;
    settings_.mode = CaptureMode::Window;
    settings_.windowTitle = "KREL Aufnahme";
    settings_.scale = ScaleMode::Original;
    engine.setSettings(settings_);
    engine.start();
    ASSERT_EQ(engine.status().error, "");

    engine.startRecording();
    engine.startRecording(); // a second start does nothing
    ASSERT_TRUE(test::waitFor([&] { return engine.status().recordHns > 0; }, 10s));
    std::this_thread::sleep_for(1500ms);
    engine.togglePause();
    EngineStatus st = engine.status();
    EXPECT_TRUE(st.paused);
    const int64_t frozen = st.recordHns;
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(engine.status().recordHns, frozen); // frozen while paused
    engine.togglePause();
    std::this_thread::sleep_for(1500ms);
    engine.stopRecording();
    st = engine.status();
    EXPECT_FALSE(st.recording);
    const fs::path rec = st.lastClip;
    ASSERT_EQ(rec.filename().string().rfind("KREL Aufnahme 20", 0), 0u) << rec;
    EXPECT_NE(test::logText().find("Aufnahme gespeichert: " + rec.string()), std::string::npos);

    // About 3 s recorded; the 3-s pause left no gap.
    const auto video = readStream(rec, AVMEDIA_TYPE_VIDEO);
    ASSERT_GT(video.size(), 30u);
    EXPECT_TRUE(video.front()->keyframe);
    EXPECT_EQ(video.front()->pts, 0);
    int64_t maxGap = 0;
    for (size_t i = 1; i < video.size(); ++i) maxGap = std::max(maxGap, video[i]->pts - video[i - 1]->pts);
    EXPECT_LT(maxGap, kSec / 2);
    const double seconds = static_cast<double>(video.back()->pts) / kSec;
    EXPECT_GT(seconds, 2.0);
    EXPECT_LT(seconds, 4.5);
    EXPECT_EQ(test::readBack(rec).video()->decodeErrors, 0);

    // A capture-relevant change while recording finalizes and keeps the file.
    engine.startRecording();
    ASSERT_TRUE(test::waitFor([&] { return engine.status().recordHns > 5'000'000; }, 10s));
    settings_.fps = 25;
    engine.setSettings(settings_);
    st = engine.status();
    EXPECT_FALSE(st.recording);
    ASSERT_NE(st.lastClip, rec.string());
    EXPECT_GT(probeClip(st.lastClip).durationHns, 0);
    // A replay-only change does not restart the pipeline.
    settings_.replaySeconds = 10;
    engine.startRecording();
    ASSERT_TRUE(test::waitFor([&] { return engine.status().recordHns > 0; }, 10s));
    engine.setSettings(settings_);
    EXPECT_TRUE(engine.status().recording);
    engine.stopRecording();
}

TEST(OutputSize, EvenAtLeast64AndByScale) {
    Settings s;
    s.scale = ScaleMode::Original;
    EXPECT_EQ(outputSize(s, 1367, 769, 1920, 1080), std::make_pair(1366u, 768u));
    EXPECT_EQ(outputSize(s, 2560, 1440, 1920, 1080), std::make_pair(2560u, 1440u));
    EXPECT_EQ(outputSize(s, 50, 40, 1920, 1080), std::make_pair(64u, 64u));
    s.scale = ScaleMode::AutoStretchNative;
    EXPECT_EQ(outputSize(s, 2560, 1440, 1920, 1080), std::make_pair(1920u, 1080u));
    s.scale = ScaleMode::Fit;
    s.outWidth = 1920;
    s.outHeight = 1080;
    EXPECT_EQ(outputSize(s, 2560, 1440, 1920, 1080), std::make_pair(1920u, 1080u));
    s.outHeight = 0; // one of them unset: the source size
    EXPECT_EQ(outputSize(s, 2560, 1440, 1920, 1080), std::make_pair(2560u, 1440u));
}

// The buffer spans a restart on a source of another size: the clip holds
// the new pipeline's stream alone, from its first key frame.
TEST_F(EngineTest, ClipAcrossAPipelineRestartIsOneDecodableStream) {
    test::TestWindow before(100, 100, 320, 240, 200, 40, 40, "KREL Vorher");
    test::TestWindow after(150, 150, 256, 192, 40, 40, 200, "KREL Nachher");
    Engine engine;
    settings_.mode = CaptureMode::Window;
    settings_.windowTitle = "KREL Vorher";
    settings_.scale = ScaleMode::Original;
    settings_.replaySeconds = 30;
    settings_.replayRestartAfterClip = false;
    engine.setSettings(settings_);
    engine.start();
    ASSERT_EQ(engine.status().error, "");
    ASSERT_TRUE(waitForReplay(engine, 2.5));
    settings_.windowTitle = "KREL Nachher";
    engine.setSettings(settings_);
    ASSERT_EQ(engine.status().outW, 256u);
    // Past the new stream's second key frame (every 2 s at 30 fps).
    const double oldSpan = engine.status().replaySeconds;
    ASSERT_TRUE(waitForReplay(engine, oldSpan + 3));

    const ClipResult clip = saveClipAndWait(engine);
    ASSERT_EQ(clip.error, "");
    EXPECT_EQ(clip.path.filename().string().rfind("KREL Nachher 20", 0), 0u) << clip.path;
    const auto rb = test::readBack(clip.path);
    ASSERT_TRUE(rb.video());
    EXPECT_EQ(rb.video()->width, 256);
    EXPECT_EQ(rb.video()->height, 192);
    EXPECT_TRUE(rb.video()->firstIsKey);
    EXPECT_EQ(rb.video()->decodeErrors, 0);
    EXPECT_EQ(rb.video()->decodedFrames, rb.video()->packets);
    // Only the new source's part of the buffer: it started with the restart.
    EXPECT_LT(rb.video()->lastEnd, engine.status().replaySeconds - oldSpan + 1);
}

// A started engine that found nothing to capture follows settings that
// choose another source at once.
TEST_F(EngineTest, SettingsChangeFromIdleStartsTheNewSource) {
    test::TestWindow window(60, 60, 200, 160, 10, 200, 10, "KREL Leerlauf");
    Engine engine;
    settings_.mode = CaptureMode::Window;
    settings_.windowTitle = "KREL Vertippt";
    settings_.scale = ScaleMode::Original;
    engine.setSettings(settings_);
    engine.start();
    ASSERT_EQ(engine.status().error, "Ausgewähltes Fenster ist nicht offen");
    settings_.windowTitle = "KREL Leerlauf";
    engine.setSettings(settings_);
    EngineStatus st = engine.status();
    EXPECT_EQ(st.error, "");
    EXPECT_EQ(st.source, "KREL Leerlauf");
    EXPECT_EQ(st.outW, 200u);

    // Game mode without a game, then monitor mode. A recording armed while
    // idle opens at the new pipeline's first key frame, with the audio
    // track, although the audio engine restarts along with it and its
    // mixer is still connecting (to a sound server that answers only with
    // its connection timeout).
    {
        SilentSoundServer slow(clips_ / "stumm");
        settings_.mode = CaptureMode::Game;
        engine.setSettings(settings_);
        ASSERT_EQ(engine.status().outW, 0u);
        engine.startRecording();
        settings_.mode = CaptureMode::Monitor;
        settings_.scale = ScaleMode::Fit;
        settings_.outWidth = 320;
        settings_.outHeight = 180;
        engine.setSettings(settings_);
        st = engine.status();
        EXPECT_EQ(st.source, "Monitor 1");
        EXPECT_EQ(st.outW, 320u);
        // Past the connection timeout: the mixer then runs on silence.
        ASSERT_TRUE(test::waitFor([&] { return engine.status().recordHns > 3 * kSec; }, 20s));
        engine.stopRecording();
    }
    const auto probe = test::ffprobe(engine.status().lastClip);
    ASSERT_EQ(probe["streams"].size(), 2u) << probe.dump();

    // Without a start nothing starts.
    Engine unstarted;
    unstarted.setSettings(settings_);
    EXPECT_EQ(unstarted.status().outW, 0u);
}

// Clip jobs: every save answers exactly once, also when the answer itself
// throws or the write fails, and the engine can go while jobs still run.
TEST_F(EngineTest, ClipJobsAnswerOnceAndOutliveNoEngine) {
    test::TestWindow window(80, 80, 240, 160, 120, 120, 0, "KREL Clipjob");
    settings_.mode = CaptureMode::Window;
    settings_.windowTitle = "KREL Clipjob";
    settings_.replayRestartAfterClip = false;
    struct Answers {
        std::mutex lock;
        std::vector<ClipResult> calls;
        void add(const fs::path& p, const std::string& e) {
            std::lock_guard guard(lock);
            calls.push_back({p, e});
        }
    };
    Answers throwing, plain;
    {
        auto engine = std::make_unique<Engine>();
        engine->setSettings(settings_);
        engine->start();
        ASSERT_TRUE(waitForReplay(*engine, 1.5));
        engine->saveClip([&](const fs::path& p, const std::string& e) {
            throwing.add(p, e);
            throw std::runtime_error("Anzeige kaputt");
        });
        engine->saveClip([&](const fs::path& p, const std::string& e) { plain.add(p, e); });
        engine.reset(); // waits for both writes
    }
    ASSERT_EQ(throwing.calls.size(), 1u);
    ASSERT_EQ(plain.calls.size(), 1u);
    for (const auto& c : {throwing.calls[0], plain.calls[0]}) {
        EXPECT_EQ(c.error, "");
        EXPECT_EQ(test::readBack(c.path).video()->decodeErrors, 0) << c.path;
    }
    EXPECT_EQ(test::logText().find("Clip fehlgeschlagen"), std::string::npos);

    // A write that fails: the temporary file cannot be created because a
    // folder holds its name (for every second the save may fall into).
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t < now + 60; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        fs::create_directories(clips_ / ("KREL Clipjob " + clipTimestamp(local) + ".mp4.part"));
    }
    Answers failing;
    {
        Engine engine;
        engine.setSettings(settings_);
        engine.start();
        ASSERT_TRUE(waitForReplay(engine, 1.5));
        engine.saveClip([&](const fs::path& p, const std::string& e) { failing.add(p, e); });
    }
    ASSERT_EQ(failing.calls.size(), 1u);
    EXPECT_EQ(failing.calls[0].path, fs::path());
    EXPECT_NE(failing.calls[0].error, "");
    EXPECT_NE(test::logText().find("Clip fehlgeschlagen: " + failing.calls[0].error), std::string::npos);
}

} // namespace
} // namespace krel
