// Device changes against real sound servers: the default sink changes, the
// chosen microphone is unplugged and comes back, the sound server is missing,
// appears, dies and returns. Throughout, the time stamps stay continuous.

#include "audio_test_support.h"
#include "config/settings.h"
#include "core/clock.h"
#include "media/audio_engine.h"
#include "media/microphone_list.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

extern char** environ;

namespace krel {
namespace {

using test::settingsFor;

class AudioDevicesTest : public test::PulseAudioTest {
protected:
    // Amplitude of `freq` in the newest 200 ms of the track.
    double recent(double freq) {
        auto type = engine_.outputType();
        return type ? test::recentTone(*type, log_.packets(), freq) : 0.0;
    }

    test::PacketLog log_;
    AudioEngine engine_{[this](const PacketPtr& p) { log_.add(p); }};
};

// Restores the default sink when a test leaves early.
struct DefaultSinkGuard {
    ~DefaultSinkGuard() { test::pactl("set-default-sink krel_null"); }
};

TEST_F(AudioDevicesTest, FollowsANewDefaultSink) {
    DefaultSinkGuard guard;
    test::PulseModule second(
        "module-null-sink sink_name=krel_null2 sink_properties=device.description=KrelNull2");
    ASSERT_TRUE(second.ok());
    test::TonePlayer tone("krel_null2", 440.0, 0.4, 440.0, 0.4);
    ASSERT_TRUE(tone.ok());
    engine_.start(settingsFor(AudioMix::GameOnly));
    ASSERT_TRUE(test::waitUntil([&] { return engine_.running(); }, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LT(recent(440.0), 0.01); // the default sink is still the silent one

    test::pactl("set-default-sink krel_null2");
    const int64_t switched = nowHns();
    ASSERT_TRUE(test::waitUntil([&] { return recent(440.0) > 0.35; }, 8000))
        << "new default sink not followed";
    RecordProperty("follow_ms", static_cast<int>((nowHns() - switched) / 10'000));
    engine_.stop();
    test::expectContinuousAudio(log_.packets());
}

TEST_F(AudioDevicesTest, ChosenMicrophoneUnpluggedFallsBackAndReturns) {
    // A playing (silent) stream keeps the null sink's monitor delivering in
    // real time, so the system source does not hold the mix back at start.
    test::TonePlayer systemSilence("krel_null", 0.0, 0.0, 0.0, 0.0);
    auto micSink = std::make_unique<test::PulseModule>(
        "module-null-sink sink_name=krel_micsink sink_properties=device.description=KrelMicSink");
    ASSERT_TRUE(micSink->ok());
    auto tone = std::make_unique<test::TonePlayer>("krel_micsink", 1000.0, 0.4, 1000.0, 0.4);
    ASSERT_TRUE(tone->ok());

    // Start on the default microphone (silent), then choose the tone.
    engine_.start(settingsFor(AudioMix::SystemMic));
    ASSERT_TRUE(test::waitUntil([&] { return engine_.running(); }, 8000));
    engine_.setMicDevice("krel_micsink.monitor");
    ASSERT_TRUE(test::waitUntil([&] { return recent(1000.0) > 0.35; }, 8000));
    EXPECT_NE(test::readLog().find("Audio: Mikrofon gewechselt (true)"), std::string::npos);

    // Unplug: the stream fails and falls back to the default microphone.
    tone.reset();
    micSink->unload();
    ASSERT_TRUE(test::waitUntil([&] { return recent(1000.0) < 0.01; }, 8000));

    // Plug it in again: the periodic device check takes it back.
    micSink = std::make_unique<test::PulseModule>(
        "module-null-sink sink_name=krel_micsink sink_properties=device.description=KrelMicSink");
    ASSERT_TRUE(micSink->ok());
    tone = std::make_unique<test::TonePlayer>("krel_micsink", 1000.0, 0.4, 1000.0, 0.4);
    ASSERT_TRUE(tone->ok());
    ASSERT_TRUE(test::waitUntil([&] { return recent(1000.0) > 0.35; }, 10'000)) << "microphone not re-opened";
    engine_.stop();
    test::expectContinuousAudio(log_.packets());
    tone.reset();
}

TEST_F(AudioDevicesTest, NonexistentMicrophoneGivesTheDefaultOne) {
    engine_.start(settingsFor(AudioMix::GameMic, "no_such_source"));
    ASSERT_TRUE(test::waitUntil([&] { return engine_.running(); }, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    engine_.stop();
    // krel_mic (a silent null source) stands in.
    EXPECT_NE(test::readLog().find("Audio: System=true Mikrofon=true"), std::string::npos);
    test::expectContinuousAudio(log_.packets());
}

// A PulseAudio daemon of this test alone, on its own socket.
class PrivateServer {
public:
    explicit PrivateServer(const std::filesystem::path& dir) : dir_(dir) {}
    ~PrivateServer() { kill(); }
    std::string address() const { return "unix:" + (dir_ / "native").string(); }

    bool start() {
        std::filesystem::create_directories(dir_ / "rt");
        const std::string socketArg =
            "module-native-protocol-unix auth-anonymous=1 socket=" + (dir_ / "native").string();
        std::vector<std::string> args = {"pulseaudio",
                                         "--daemonize=no",
                                         "--exit-idle-time=-1",
                                         "--disallow-exit",
                                         "-n",
                                         "--use-pid-file=no",
                                         "--load=" + socketArg,
                                         "--load=module-null-sink sink_name=priv_null",
                                         "--log-target=file:" + (dir_ / "pulse.log").string()};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir_.string(),
                                        "PULSE_RUNTIME_PATH=" + (dir_ / "rt").string(),
                                        "HOME=" + dir_.string(), "PATH=/usr/bin:/bin"};
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) return false;
        return test::waitUntil([&] { return std::filesystem::exists(dir_ / "native"); }, 10'000);
    }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        std::filesystem::remove(dir_ / "native");
    }

private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

TEST_F(AudioDevicesTest, NoServerGivesSilenceThenFollowsTheServerThroughARestart) {
    test::TempDir dir;
    PrivateServer server(dir.path());
    ASSERT_EQ(setenv("PULSE_SERVER", server.address().c_str(), 1), 0);
    engine_.start(settingsFor(AudioMix::SystemMic));
    ASSERT_TRUE(test::waitUntil([&] { return engine_.running(); }, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_GT(log_.packets().size(), 10u); // silence flows without a server
    EXPECT_NE(test::readLog().find("Audio: System=false Mikrofon=false"), std::string::npos);

    // The server appears.
    ASSERT_TRUE(server.start());
    auto tone = std::make_unique<test::TonePlayer>("priv_null", 440.0, 0.4, 440.0, 0.4, server.address());
    ASSERT_TRUE(tone->ok());
    EXPECT_TRUE(test::waitUntil([&] { return recent(440.0) > 0.35; }, 10'000)) << "server not connected";

    // It dies: silence, and the packets keep coming.
    tone.reset();
    server.kill();
    EXPECT_TRUE(test::waitUntil([&] { return recent(440.0) < 0.01; }, 10'000));
    const size_t count = log_.packets().size();
    EXPECT_TRUE(test::waitUntil([&] { return log_.packets().size() > count + 10; }, 5000));

    // And returns.
    ASSERT_TRUE(server.start());
    tone = std::make_unique<test::TonePlayer>("priv_null", 440.0, 0.4, 440.0, 0.4, server.address());
    ASSERT_TRUE(tone->ok());
    EXPECT_TRUE(test::waitUntil([&] { return recent(440.0) > 0.35; }, 10'000)) << "server not re-connected";
    engine_.stop();
    unsetenv("PULSE_SERVER");
    tone.reset();
    test::expectContinuousAudio(log_.packets());
}

TEST(MicrophoneListPulse, ListsSourcesWithoutMonitorsDefaultFirst) {
    ASSERT_NE(test::pactl("info").find("Default Source: krel_mic"), std::string::npos);
    test::PulseModule second("module-null-source source_name=krel_mic2 description=Zweitmikro");
    ASSERT_TRUE(second.ok());
    auto list = listMicrophones();
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0].id, "krel_mic");
    EXPECT_FALSE(list[0].name.empty());
    EXPECT_TRUE(list[0].isDefault);
    bool sawSecond = false;
    for (const auto& m : list) {
        EXPECT_EQ(m.id.find(".monitor"), std::string::npos) << m.id;
        if (m.id == "krel_mic2") {
            sawSecond = true;
            EXPECT_EQ(m.name, "Zweitmikro");
            EXPECT_FALSE(m.isDefault);
        }
    }
    EXPECT_TRUE(sawSecond);

    test::pactl("set-default-source krel_mic2");
    list = listMicrophones();
    test::pactl("set-default-source krel_mic");
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0].id, "krel_mic2");
    EXPECT_TRUE(list[0].isDefault);
}

TEST(MicrophoneListPulse, NoServerGivesAnEmptyList) {
    ASSERT_EQ(setenv("PULSE_SERVER", "unix:/nonexistent/krel/native", 1), 0);
    EXPECT_TRUE(listMicrophones().empty());
    unsetenv("PULSE_SERVER");
}

} // namespace
} // namespace krel
