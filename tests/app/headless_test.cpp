// krel-play --headless as a user or a script drives it: signals in, German
// lines and files out.

#include "temp_dir.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Waits until the program's output holds `text` (at most `limit`).
bool waitForOutput(const fs::path& out, const std::string& text, std::chrono::seconds limit = 15s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (readFile(out).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// Starts krel-play --headless on the data folder `data`, its standard
// output going to `out`; -1 when it cannot be started.
pid_t startHeadless(const fs::path& data, const fs::path& out) {
    const std::string env = "KREL_PLAY_DATA_DIR=" + data.string();
    std::vector<std::string> envs{env};
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("KREL_PLAY_DATA_DIR=", 0) != 0) envs.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(KREL_PLAY_EXECUTABLE), const_cast<char*>("--headless"), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, KREL_PLAY_EXECUTABLE, &actions, nullptr, argv, envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

TEST(Headless, SignalsSaveClipsRecordAndEndCleanly) {
    krel::test::TempDir data;
    std::ofstream(data / "settings.json") << R"({"mode":"monitor","scale":"fit","outWidth":320,"outHeight":180,)"
                                          << R"("fps":30,"replaySeconds":5,"micEnabled":false})";
    const fs::path out = data / "out.txt";
    const pid_t pid = startHeadless(data.path(), out);
    ASSERT_GT(pid, 0);

    ASSERT_TRUE(waitForOutput(out, "Quelle: Monitor 1")) << readFile(out);
    std::this_thread::sleep_for(2500ms); // some replay to save
    kill(pid, SIGUSR1);
    ASSERT_TRUE(waitForOutput(out, "Clip gespeichert: ")) << readFile(out);
    kill(pid, SIGUSR2);
    ASSERT_TRUE(waitForOutput(out, "Aufnahme gestartet")) << readFile(out);
    std::this_thread::sleep_for(2s);
    // Ending while recording finalizes the recording.
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string text = readFile(out);
    EXPECT_NE(text.find("KREL Play läuft (Bildschirm, Videobeweis an)"), std::string::npos) << text;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(data / "Clips")) files.push_back(e.path());
    ASSERT_EQ(files.size(), 2u) << text;
    for (const auto& f : files) {
        EXPECT_EQ(f.extension(), ".mp4");
        EXPECT_NE(text.find(f.string()), std::string::npos) << f << " not reported:\n" << text;
        const auto rb = krel::test::readBack(f);
        ASSERT_NE(rb.video(), nullptr) << f;
        EXPECT_EQ(rb.video()->width, 320);
        EXPECT_TRUE(rb.video()->firstIsKey);
        EXPECT_GT(rb.video()->packets, 10);
    }
    const std::string log = readFile(data / "krel-play.log");
    EXPECT_NE(log.find("Clip gespeichert: "), std::string::npos);
    EXPECT_NE(log.find("Aufnahme gespeichert: "), std::string::npos);
}

// A recording stopped while still waiting for a source wrote no file, and
// says nothing about a saved recording.
TEST(Headless, ArmedRecordingStoppedReportsNoFile) {
    krel::test::TempDir data;
    std::ofstream(data / "settings.json") << R"({"mode":"game","fps":30,"micEnabled":false})";
    const fs::path out = data / "out.txt";
    const pid_t pid = startHeadless(data.path(), out);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForOutput(out, "KREL Play läuft (Nur Spiel")) << readFile(out);
    kill(pid, SIGUSR2);
    ASSERT_TRUE(waitForOutput(out, "Aufnahme gestartet")) << readFile(out);
    kill(pid, SIGUSR2);
    // A clip request is answered after the stop has been handled.
    kill(pid, SIGUSR1);
    ASSERT_TRUE(waitForOutput(out, "Gerade läuft keine Aufnahme")) << readFile(out);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    const std::string text = readFile(out);
    EXPECT_EQ(text.find("Aufnahme gespeichert"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(data / "Clips") && !fs::is_empty(data / "Clips"));
}

} // namespace
