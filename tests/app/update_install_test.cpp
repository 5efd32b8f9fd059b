// Download, verification and the swap of a real executable, against the
// local service's update folder.
#include "app/file_swap.h"
#include "app/update.h"
#include "cloud/crypto.h"
#include "cloud/test_hooks.h"
#include "local_service.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace krel {
namespace {

using test::LocalService;

std::vector<uint8_t> readAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int runProgram(const std::filesystem::path& exe, const char* arg) {
    const std::string path = exe.string();
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(arg), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The step after which the swap hook ends the process, like a power cut.
SwapStep killAt = SwapStep::Linked;
void killAtStep(SwapStep step) {
    if (step == killAt) raise(SIGKILL);
}

class UpdateInstall : public ::testing::Test {
protected:
    void SetUp() override {
        // The "running" program: a real executable; the release: another one.
        exe_ = dir_ / "KREL Play";
        std::filesystem::copy_file("/bin/true", exe_);
        oldBytes_ = readAll(exe_);
        release_ = readAll("/bin/ls");
        ASSERT_GT(release_.size(), kMinUpdateSize);
        digest_ = sha256Hex(release_);
    }
    void publish(const std::string& version, const std::string& digest) {
        test::writeFile(svc_.updateDir() / "krel-play-new", release_);
        const nlohmann::json m = {{"version", version}, {"file", "krel-play-new"}, {"sha256", digest}};
        const std::string text = m.dump();
        test::writeFile(svc_.updateDir() / "latest.json", {text.begin(), text.end()});
    }
    std::filesystem::path sibling(const char* suffix) {
        auto p = exe_;
        p += suffix;
        return p;
    }

    LocalService svc_;
    test::TempDir dir_;
    std::filesystem::path exe_;
    std::vector<uint8_t> oldBytes_, release_;
    std::string digest_;
};

TEST_F(UpdateInstall, Sha256HexMatchesKnownDigest) {
    EXPECT_EQ(sha256Hex(asBytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(UpdateInstall, SwapsInAVerifiedExecutable) {
    std::string upper = digest_;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string error;
    ASSERT_TRUE(applyUpdate(release_, upper, error, exe_)) << error;
    EXPECT_EQ(readAll(exe_), release_);
    EXPECT_EQ(readAll(sibling(".old")), oldBytes_);
    EXPECT_FALSE(std::filesystem::exists(sibling(".new")));
    EXPECT_EQ(runProgram(exe_, "--version"), 0); // still executable
    EXPECT_NE(test::readLog().find("Update eingespielt – Neustart"), std::string::npos);

    cleanupUpdateFiles(exe_);
    EXPECT_FALSE(std::filesystem::exists(sibling(".old")));
    EXPECT_EQ(readAll(exe_), release_);
}

TEST_F(UpdateInstall, RefusedDownloadsLeaveTheExecutableAlone) {
    std::string error;
    EXPECT_FALSE(applyUpdate(release_, std::string(64, '0'), error, exe_));
    EXPECT_EQ(error, "Prüfsumme stimmt nicht – Update verworfen");
    EXPECT_FALSE(applyUpdate(release_, digest_.substr(0, 63), error, exe_));
    EXPECT_EQ(error, "Prüfsumme stimmt nicht – Update verworfen");

    const std::vector<uint8_t> shortFile(release_.begin(), release_.begin() + 99999);
    error.clear();
    EXPECT_FALSE(applyUpdate(shortFile, sha256Hex(shortFile), error, exe_));
    EXPECT_EQ(error, "Prüfsumme stimmt nicht – Update verworfen");
    EXPECT_EQ(readAll(exe_), oldBytes_);
    EXPECT_FALSE(std::filesystem::exists(sibling(".new")));

    // The new file cannot be written.
    std::filesystem::create_directory(sibling(".new"));
    EXPECT_FALSE(applyUpdate(release_, digest_, error, exe_));
    EXPECT_EQ(error, "Neue Version konnte nicht gespeichert werden");
    EXPECT_EQ(readAll(exe_), oldBytes_);
    std::filesystem::remove(sibling(".new"));

    // The running executable cannot be moved aside.
    const auto missing = dir_ / "gone";
    EXPECT_FALSE(applyUpdate(release_, digest_, error, missing));
    EXPECT_EQ(error, "Laufende Version konnte nicht ersetzt werden");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "gone.new"));
}

TEST_F(UpdateInstall, CrashDuringTheSwapLeavesARunnableExecutable) {
    for (const SwapStep step : {SwapStep::Linked, SwapStep::Swapped}) {
        killAt = step;
        EXPECT_EXIT(
            {
                setSwapStepHookForTesting(killAtStep);
                std::string error;
                applyUpdate(release_, digest_, error, exe_);
            },
            ::testing::KilledBySignal(SIGKILL), "");
        EXPECT_EQ(readAll(exe_), step == SwapStep::Linked ? oldBytes_ : release_);
        EXPECT_EQ(runProgram(exe_, "--version"), 0);
        cleanupUpdateFiles(exe_); // the next start
        EXPECT_EQ(runProgram(exe_, "--version"), 0);
        EXPECT_FALSE(std::filesystem::exists(sibling(".old")));
        EXPECT_FALSE(std::filesystem::exists(sibling(".new")));
        std::filesystem::remove(exe_);
        std::filesystem::copy_file("/bin/true", exe_);
    }
}

TEST_F(UpdateInstall, PlantedLinkAtTheNewFileIsNotWrittenThrough) {
    const auto victim = dir_ / "victim";
    test::writeFile(victim, {'k', 'e', 'e', 'p'});
    std::filesystem::create_symlink(victim, sibling(".new"));
    std::string error;
    ASSERT_TRUE(applyUpdate(release_, digest_, error, exe_)) << error;
    EXPECT_EQ(readAll(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(std::filesystem::is_symlink(exe_));
    EXPECT_EQ(readAll(exe_), release_);
}

TEST_F(UpdateInstall, ManifestIsBoundedInSizeAndTime) {
    publish("0.2.0", digest_);
    std::string big = nlohmann::json({{"version", "0.2.0"},
                                      {"file", "krel-play-new"},
                                      {"sha256", digest_},
                                      {"notes", std::string(kManifestMaxBytes, 'n')}})
                          .dump();
    test::writeFile(svc_.updateDir() / "latest.json", {big.begin(), big.end()});
    EXPECT_FALSE(startupUpdateCheck({}, true, exe_));
    EXPECT_NE(test::readLog().find("Update-Prüfung beim Start: Update-Information unlesbar"), std::string::npos);

    // A server that sends the manifest one byte every 300 ms never trips
    // the stall limits; the deadline (30 s, here 1 s) ends the start-up check.
    publish("0.2.0", digest_);
    setHttpTimeoutDivisorForTesting(30);
    svc_.addFaults("GET", "latest.json$", {{{"status", 200}, {"bytes", 400}, {"trickleMs", 300}}});
    EXPECT_FALSE(startupUpdateCheck({}, true, exe_));
    setHttpTimeoutDivisorForTesting(1);
    EXPECT_NE(test::readLog().find("Update-Prüfung beim Start: Keine Verbindung"), std::string::npos);
    EXPECT_EQ(readAll(exe_), oldBytes_);
}

TEST_F(UpdateInstall, StartupCheckInstallsANewerRelease) {
    EXPECT_FALSE(startupUpdateCheck({"--updated"}, true, exe_));
    EXPECT_FALSE(startupUpdateCheck({"--tray", "--first-run"}, true, exe_));
    EXPECT_FALSE(startupUpdateCheck({}, false, exe_));
    EXPECT_TRUE(svc_.requests().empty());

    EXPECT_FALSE(startupUpdateCheck({}, true, exe_)); // no manifest yet
    EXPECT_NE(test::readLog().find("Update-Prüfung beim Start: Server antwortet 404"), std::string::npos);

    publish("0.1.7", digest_);
    EXPECT_FALSE(startupUpdateCheck({}, true, exe_));
    EXPECT_EQ(svc_.requests().size(), 2u); // the same version is not downloaded

    publish("0.2.0", std::string(64, 'e'));
    EXPECT_FALSE(startupUpdateCheck({}, true, exe_));
    EXPECT_NE(
        test::readLog().find("Update beim Start fehlgeschlagen: Prüfsumme stimmt nicht – Update verworfen"),
        std::string::npos);
    EXPECT_EQ(readAll(exe_), oldBytes_);

    publish("0.2.0", digest_);
    EXPECT_TRUE(startupUpdateCheck({"--tray"}, true, exe_));
    EXPECT_NE(test::readLog().find("Neue Version 0.2.0 beim Start gefunden – wird installiert"),
              std::string::npos);
    EXPECT_EQ(readAll(exe_), release_);
    const auto log = svc_.requests();
    EXPECT_EQ(log.back()["path"], "/downloads/play/krel-play-new");
    EXPECT_EQ(log.back()["userAgent"], "KREL-Play/0.1.7");
}

TEST_F(UpdateInstall, StartupCheckFollowsTheSettingsFile) {
    // No manifest is published here, so the running test program can never
    // be replaced; only whether the folder is asked at all is observed.
    const auto settings = test::testDataDir() / "settings.json";
    const std::string off = R"({"autoUpdate":false})";
    test::writeFile(settings, {off.begin(), off.end()});
    EXPECT_FALSE(startupUpdateCheck(std::vector<std::string>{}));
    EXPECT_TRUE(svc_.requests().empty());
    std::filesystem::remove(settings);
    EXPECT_FALSE(startupUpdateCheck(std::vector<std::string>{}));
    ASSERT_EQ(svc_.requests().size(), 1u);
    EXPECT_EQ(svc_.requests()[0]["path"], "/downloads/play/latest.json");
}

TEST_F(UpdateInstall, BackgroundCheckRecordsAndInstallSwaps) {
    struct Seen {
        std::promise<std::tuple<bool, UpdateInfo, std::string, int64_t>> reply;
        std::promise<UpdateState> changed;   // as read by the handler itself
        std::promise<std::string> installed; // "" on restart, else the toast
    };
    auto seen = std::make_shared<Seen>();
    auto arm = [&] {
        seen = std::make_shared<Seen>();
        auto s = seen;
        setUpdateEvents({[s](bool newer, const UpdateInfo& info, const std::string& error, int64_t id) {
                             s->reply.set_value({newer, info, error, id});
                         },
                         [s] { s->changed.set_value(updateState()); }, [s] { s->installed.set_value(""); },
                         [s](const std::string& toast) { s->installed.set_value(toast); }});
    };
    setUpdateExecutableForTesting(exe_);

    // Without a known release nothing happens.
    arm();
    installUpdate();
    EXPECT_TRUE(updateState().available.version.empty());

    publish("0.3.0", digest_);
    checkForUpdate(7);
    auto [newer, info, error, id] = seen->reply.get_future().get();
    EXPECT_EQ(seen->changed.get_future().get().available.version, "0.3.0");
    EXPECT_TRUE(newer);
    EXPECT_EQ(info.version, "0.3.0");
    EXPECT_EQ(id, 7);
    EXPECT_TRUE(error.empty());
    UpdateState st = updateState();
    EXPECT_TRUE(st.checked);
    EXPECT_EQ(st.available.version, "0.3.0");
    EXPECT_EQ(st.available.url, svc_.baseUrl() + "/downloads/play/krel-play-new");

    // A later failing check keeps the known release.
    arm();
    std::filesystem::remove(svc_.updateDir() / "latest.json");
    checkForUpdate(0);
    auto failed = seen->reply.get_future().get();
    EXPECT_TRUE(seen->changed.get_future().get().checked);
    EXPECT_FALSE(std::get<0>(failed));
    EXPECT_EQ(std::get<2>(failed), "Server antwortet 404");
    EXPECT_EQ(updateState().available.version, "0.3.0");

    // A corrupted download is refused with the reason.
    std::vector<uint8_t> corrupted = release_;
    corrupted[5000] ^= 1;
    test::writeFile(svc_.updateDir() / "krel-play-new", corrupted);
    arm();
    installUpdate();
    EXPECT_EQ(seen->installed.get_future().get(),
              "Update fehlgeschlagen: Prüfsumme stimmt nicht – Update verworfen");
    EXPECT_EQ(readAll(exe_), oldBytes_);
    EXPECT_FALSE(updateState().installing); // a failed one may be tried again

    // A second installation while one runs starts no second swap.
    test::writeFile(svc_.updateDir() / "krel-play-new", release_);
    svc_.addFaults("GET", "krel-play-new$", {{{"delayMs", 400}}});
    arm();
    installUpdate();
    installUpdate();
    EXPECT_EQ(seen->installed.get_future().get(), "");
    EXPECT_EQ(readAll(exe_), release_);
    // Swapped in: no further installation starts in this process.
    EXPECT_TRUE(updateState().installing);
    int downloads = 0;
    for (const auto& r : svc_.requests())
        downloads += r["path"] == "/downloads/play/krel-play-new";
    EXPECT_EQ(downloads, 2); // the corrupted one and this one
    setUpdateEvents({});
    setUpdateExecutableForTesting({});
}

} // namespace
} // namespace krel
