// "settings.json" in the data folder: loading, atomic saving, interrupted
// and concurrent saves.

#include "config/atomic_file.h"
#include "config/settings.h"
#include "config_test_support.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

namespace krel::test {
namespace {

namespace fs = std::filesystem;

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { clean(); }
    void TearDown() override { clean(); }
    static void clean() {
        std::error_code ec;
        for (const char* name : {"settings.json", "settings.json.tmp", "krel-play.log", "krel-play.log.1"})
            fs::remove_all(testDataDirectory() / name, ec);
    }
    static fs::path file() { return testDataDirectory() / "settings.json"; }
    static fs::path tmp() { return testDataDirectory() / "settings.json.tmp"; }
    static fs::path log() { return testDataDirectory() / "krel-play.log"; }
};

TEST_F(SettingsFile, MissingOrUnreadableFileGivesDefaultsSilently) {
    EXPECT_EQ(loadSettings(), Settings{});
    fs::create_directory(file()); // opens, but cannot be read
    EXPECT_EQ(loadSettings(), Settings{});
    EXPECT_FALSE(fs::exists(log()));
}

TEST_F(SettingsFile, EmptyFileGivesDefaultsAndTheLogLine) {
    writeFile(file(), "");
    EXPECT_EQ(loadSettings(), Settings{});
    EXPECT_TRUE(readFile(log()).ends_with(" Einstellungen unlesbar – Standardwerte\n"));
}

TEST_F(SettingsFile, LoadAppliesTheFileToTheDefaults) {
    writeFile(file(), "\xEF\xBB\xBF{\"fps\": 500, \"codec\": \"hevc\", \"hkClip\": {\"vk\": 65}}");
    Settings expected;
    expected.fps = 240;
    expected.codec = VideoCodec::Hevc;
    expected.hkClip = {0, 65};
    EXPECT_EQ(loadSettings(), expected);
}

TEST_F(SettingsFile, SaveWritesTheJsonAndLoadReadsItBack) {
    Settings s;
    s.fps = 120;
    s.windowTitle = "Fenster – ä";
    s.gameVolume = 0.3f;
    s.hkOverlay = {2, 79};
    saveSettings(s);
    EXPECT_FALSE(fs::exists(tmp()));
    const std::string text = readFile(file());
    EXPECT_EQ(text, settingsToJson(s));
    EXPECT_EQ(loadSettings(), s);

    s.fps = 30;
    saveSettings(s);
    EXPECT_EQ(loadSettings(), s) << "a second save replaces the first";
}

TEST_F(SettingsFile, InterruptedSaveLeavesTheOldFileAndIsOverwrittenNextTime) {
    Settings saved;
    saved.replaySeconds = 120;
    saveSettings(saved);
    // A save that died before its rename: half a file under the ".tmp" name.
    writeFile(tmp(), "{\"replaySeconds\": 30, \"fp");
    EXPECT_EQ(loadSettings(), saved);

    saved.replaySeconds = 90;
    saveSettings(saved);
    EXPECT_FALSE(fs::exists(tmp()));
    EXPECT_EQ(loadSettings(), saved);
}

TEST_F(SettingsFile, FailedSaveKeepsThePreviousFile) {
    Settings saved;
    saved.bitrateKbps = 5000;
    saveSettings(saved);
    const std::string before = readFile(file());

    // Something in the way of the temporary file: the save must give up
    // before touching "settings.json".
    fs::create_directories(tmp() / "blockiert");
    Settings changed = saved;
    changed.bitrateKbps = 9000;
    EXPECT_NO_THROW(saveSettings(changed));
    EXPECT_EQ(readFile(file()), before);
    EXPECT_EQ(loadSettings(), saved);
}

TEST_F(SettingsFile, ReadersNeverSeeAHalfWrittenFile) {
    // Savers from several threads while a reader loads over and over: every
    // load must find one whole record, never a torn or empty file.
    constexpr int kThreads = 4;
    constexpr int kSaves = 25;
    auto record = [](int t) {
        Settings s;
        s.windowTitle = std::string(100000, static_cast<char>('a' + t));
        s.monitorIndex = static_cast<uint32_t>(t);
        return s;
    };
    saveSettings(record(0));
    std::atomic<bool> done{false};
    int torn = 0;
    int loads = 0;
    std::thread reader([&] {
        while (!done) {
            const Settings s = loadSettings();
            ++loads;
            if (s.monitorIndex >= kThreads || s != record(static_cast<int>(s.monitorIndex))) ++torn;
        }
    });
    std::vector<std::thread> savers;
    for (int t = 0; t < kThreads; ++t) {
        savers.emplace_back([t, &record] {
            for (int i = 0; i < kSaves; ++i) saveSettings(record(t));
        });
    }
    for (auto& th : savers) th.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << loads << " loads";
    EXPECT_FALSE(fs::exists(tmp()));
    EXPECT_FALSE(fs::exists(log())) << "nothing was unreadable";
    const Settings last = loadSettings();
    ASSERT_LT(last.monitorIndex, static_cast<uint32_t>(kThreads));
    EXPECT_EQ(last, record(static_cast<int>(last.monitorIndex)));
}

TEST(AtomicFile, ReplacesAndNeverFollowsAStaleLink) {
    TempDir dir;
    writeFile(dir / "ziel", "alt");
    writeFile(dir / "fremd", "nicht anfassen");
    fs::create_symlink(dir / "fremd", dir / "ziel.tmp");
    EXPECT_TRUE(replaceFileAtomically(dir / "ziel", "neu"));
    EXPECT_EQ(readFile(dir / "ziel"), "neu");
    EXPECT_EQ(readFile(dir / "fremd"), "nicht anfassen");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "ziel.tmp")));

    EXPECT_FALSE(replaceFileAtomically(dir / "fehlt" / "ziel", "x"));
    EXPECT_FALSE(fs::exists(dir / "fehlt"));
}

} // namespace
} // namespace krel::test
