// The chunked upload against the local service, with injected faults. The
// retry waits go to a recording sleep through the test hook; the sequence of
// attempts and the withdrawal are read from the service's own request log.
#include "cloud/api_replies.h"
#include "cloud/test_hooks.h"
#include "cloud/upload.h"
#include "signed_in.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include <unistd.h>

namespace krel {
namespace {

using nlohmann::json;

constexpr int64_t kC = static_cast<int64_t>(kMinChunkSize); // the smallest chunk size the service may name

// The sample clip cut or padded to exactly `size` bytes (it still starts
// with its "ftyp" box).
std::vector<uint8_t> clipOfSize(size_t size) {
    std::vector<uint8_t> bytes = test::sampleMp4();
    bytes.resize(size, 0x5A);
    return bytes;
}

struct Req {
    std::string method, path;
    int status;
    int64_t size;
};

class Upload : public test::SignedIn {
protected:
    explicit Upload(const test::ServiceOptions& o = {}) : SignedIn(o) {}
    void SetUp() override {
        SignedIn::SetUp();
        setNetworkSleepForTesting([this](std::chrono::milliseconds ms) {
            std::lock_guard lock(waitsLock_);
            waits_.push_back(ms.count());
        });
    }
    void TearDown() override { setNetworkSleepForTesting({}); }
    std::vector<int64_t> waits() {
        std::lock_guard lock(waitsLock_);
        return waits_;
    }

    std::filesystem::path file(size_t size, const std::string& name = "clip") {
        auto p = dir_ / (name + ".mp4");
        test::writeFile(p, clipOfSize(size));
        return p;
    }
    std::vector<Req> log() {
        std::vector<Req> out;
        for (const auto& r : apiRequests())
            out.push_back({r["method"], r["path"], r["status"], r["size"]});
        return out;
    }
    json clips() { return svc_.state()["clips"]; }

    test::TempDir dir_;
    std::mutex waitsLock_;
    std::vector<int64_t> waits_;
};

TEST_F(Upload, SizeLimitAndSingleChunk) {
    ApiResult r = uploadClip(file(999), "", {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, "Clip-Datei nicht lesbar");
    EXPECT_EQ(uploadClip(dir_ / "missing.mp4", "", {}).error, "Clip-Datei nicht lesbar");
    EXPECT_EQ(uploadClip(dir_.path(), "", {}).error, "Clip-Datei nicht lesbar");
    EXPECT_TRUE(log().empty());

    std::vector<double> progress;
    r = uploadClip(file(1000), "Spiel", [&](double f) { progress.push_back(f); });
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(progress, std::vector<double>{1.0});
    const auto l = log();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].method, "POST");
    EXPECT_EQ(l[0].path, "/api/play/v1/clips");
    EXPECT_EQ(l[1].method, "PUT");
    EXPECT_EQ(l[1].size, 1000);
    EXPECT_TRUE(l[2].path.ends_with("/complete"));
    const auto c = clips();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0]["complete"], true);
    EXPECT_EQ(c[0]["size"], 1000);
    EXPECT_EQ(c[0]["name"], "clip");
    EXPECT_EQ(c[0]["game"], "Spiel");
}

TEST_F(Upload, AnnouncesProbedMetadata) {
    const auto p = dir_ / "Sieg.mp4";
    test::writeFile(p, test::sampleMp4());
    ASSERT_TRUE(uploadClip(p, "", {}).error.empty());
    const auto c = clips();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0]["width"], 320);
    EXPECT_EQ(c[0]["height"], 240);
    EXPECT_GE(c[0]["durationMs"].get<int>(), 1900);
    EXPECT_LE(c[0]["durationMs"].get<int>(), 2100);
}

class UploadDefaultChunks : public Upload {
protected:
    UploadDefaultChunks() : Upload({.extraArgs = {"--chunk-size", "0"}, .tls = false, .tlsCert = {}, .tlsKey = {}}) {}
};

TEST_F(UploadDefaultChunks, WithoutChunkSizeFourMiBChunksAreSent) {
    std::vector<double> progress;
    std::vector<size_t> requestsAtProgress;
    ApiResult r = uploadClip(file(2 * kDefaultChunkSize), "", [&](double f) {
        progress.push_back(f);
        requestsAtProgress.push_back(apiRequests().size());
    });
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(progress, (std::vector<double>{0.5, 1.0}));
    // 1.0 arrives after the last chunk and before the completion call.
    EXPECT_EQ(requestsAtProgress.back(), 3u);
    auto l = log();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_TRUE(l[1].path.ends_with("/chunks/0"));
    EXPECT_EQ(l[1].size, 4194304);
    EXPECT_TRUE(l[2].path.ends_with("/chunks/1"));
    EXPECT_EQ(l[2].size, 4194304);

    progress.clear();
    r = uploadClip(file(2 * kDefaultChunkSize + 1, "plus1"), "", [&](double f) { progress.push_back(f); });
    ASSERT_TRUE(r.error.empty()) << r.error;
    ASSERT_EQ(progress.size(), 3u);
    EXPECT_EQ(progress.back(), 1.0);
    l = log();
    ASSERT_EQ(l.size(), 9u);
    EXPECT_TRUE(l[7].path.ends_with("/chunks/2"));
    EXPECT_EQ(l[7].size, 1);
    EXPECT_EQ(clips().size(), 2u);
}

TEST_F(Upload, TransientChunkFailuresAreRetried) {
    svc_.addFaults("PUT", "/chunks/0$", {500, 500});
    std::vector<double> progress;
    const ApiResult r = uploadClip(file(5000), "", [&](double f) { progress.push_back(f); });
    ASSERT_TRUE(r.error.empty()) << r.error;
    const auto l = log();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(l[1].status, 500);
    EXPECT_EQ(l[2].status, 500);
    EXPECT_EQ(l[3].status, 200);
    EXPECT_EQ(l[1].path, l[3].path);
    EXPECT_EQ(l[3].size, 5000); // the same bytes again
    EXPECT_EQ(progress, std::vector<double>{1.0});
    EXPECT_EQ(waits(), (std::vector<int64_t>{800, 1600}));
}

TEST_F(Upload, ThirdFailureWithdrawsTheClip) {
    svc_.addFaults("PUT", "/chunks/0$", {500, 500, 503});
    std::vector<double> progress;
    const ApiResult r = uploadClip(file(5000), "", [&](double f) { progress.push_back(f); });
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.error, "Cloud-Fehler (503, injected)");
    const auto l = log();
    ASSERT_EQ(l.size(), 5u);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(l[i].method, "PUT");
    EXPECT_EQ(l[4].method, "DELETE");
    EXPECT_EQ(l[4].status, 200);
    EXPECT_TRUE(clips().empty()); // nothing incomplete remains
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(waits(), (std::vector<int64_t>{800, 1600})); // none after the last attempt
}

TEST_F(Upload, ClientErrorsEndAtOnce) {
    svc_.post("/_test/config", {{"chunkSize", kC}});
    svc_.addFaults("PUT", "/chunks/1$", {403});
    ApiResult r = uploadClip(file(kC * 5 / 2), "", {});
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.error, "Cloud-Fehler (403, injected)");
    auto l = log();
    ASSERT_EQ(l.size(), 4u); // announce, chunk 0, chunk 1 once, withdrawal
    EXPECT_EQ(l[3].method, "DELETE");

    svc_.addFaults("PUT", "/chunks/0$", {429});
    EXPECT_EQ(uploadClip(file(kC * 5 / 2), "", {}).error, "Zu viele Uploads – bitte später erneut versuchen");
    svc_.addFaults("PUT", "/chunks/0$", {{{"status", 413}, {"body", {{"error", "clip_too_large"}}}}});
    EXPECT_EQ(uploadClip(file(kC * 5 / 2), "", {}).error, "Der Clip ist zu groß für die Cloud (höchstens 1 GB)");
    EXPECT_TRUE(clips().empty());
    EXPECT_TRUE(waits().empty());
}

TEST_F(Upload, LostConnectionCountsAsTransient) {
    svc_.addFaults("PUT", "/chunks/0$", {"drop", "drop", "drop"});
    const ApiResult r = uploadClip(file(3000), "", {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, "Keine Verbindung zu 127.0.0.1");
    EXPECT_EQ(waits(), (std::vector<int64_t>{800, 1600}));
    const auto l = log();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(l[4].method, "DELETE");
    EXPECT_TRUE(clips().empty());
}

TEST_F(Upload, AnnouncementRefusedOrUnreadable) {
    svc_.post("/_test/config", {{"quota", 4000}});
    ApiResult r = uploadClip(file(5000), "", {});
    EXPECT_EQ(r.error, "Dein Cloud-Speicher ist voll – lösche zuerst ältere Clips");
    svc_.post("/_test/config", {{"quota", 5000000000LL}});

    // A sparse file above 1 GB is refused at the announcement.
    const auto big = dir_ / "gross.mp4";
    { std::ofstream(big, std::ios::binary).put('x'); }
    std::filesystem::resize_file(big, 1100000000);
    r = uploadClip(big, "", {});
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.error, "Der Clip ist zu groß für die Cloud (höchstens 1 GB)");
    EXPECT_EQ(log().size(), 2u);

    svc_.addFaults("POST", "^/api/play/v1/clips$",
                   {{{"status", 201}, {"raw", "<html>"}},
                    {{"status", 201}, {"body", {{"id", 5}}}},
                    {{"status", 201}, {"body", {{"chunkSize", 1000}}}}});
    for (int i = 0; i < 3; ++i) {
        r = uploadClip(file(5000), "", {});
        EXPECT_EQ(r.error, "Antwort der Cloud unlesbar") << i;
    }
    EXPECT_EQ(log().size(), 5u); // no id known: nothing sent after the announcements

    // An id with an unusable chunk size (none, or outside 64 KiB to 64 MiB)
    // is withdrawn; an id that could name another endpoint is never used.
    svc_.addFaults("POST", "^/api/play/v1/clips$",
                   {{{"status", 201}, {"body", {{"id", "x1"}, {"chunkSize", 0}}}},
                    {{"status", 201}, {"body", {{"id", "x2"}, {"chunkSize", "4 MiB"}}}},
                    {{"status", 201}, {"body", {{"id", "x3"}, {"chunkSize", -5}}}},
                    {{"status", 201}, {"body", {{"id", "x4"}, {"chunkSize", kC - 1}}}},
                    {{"status", 201}, {"body", {{"id", "x5"}, {"chunkSize", kMaxChunkSize + 1}}}},
                    {{"status", 201}, {"body", {{"id", "../../browse/v1/logout?"}}}}});
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(uploadClip(file(5000), "", {}).error, "Antwort der Cloud unlesbar");
    const auto l = log();
    ASSERT_EQ(l.size(), 16u);
    EXPECT_EQ(l[6].method, "DELETE");
    EXPECT_EQ(l[6].path, "/api/play/v1/clips/x1");
    EXPECT_EQ(l[8].path, "/api/play/v1/clips/x2");
    EXPECT_EQ(l[10].path, "/api/play/v1/clips/x3");
    EXPECT_EQ(l[12].path, "/api/play/v1/clips/x4");
    EXPECT_EQ(l[14].path, "/api/play/v1/clips/x5");
    EXPECT_EQ(l[15].method, "POST");
}

TEST_F(Upload, NonMp4RefusedAtCompletionAndWithdrawn) {
    const auto p = dir_ / "text.mp4";
    test::writeFile(p, std::vector<uint8_t>(3000, 'a'));
    const ApiResult r = uploadClip(p, "", {});
    EXPECT_EQ(r.error, "Nur MP4-Videos können hochgeladen werden");
    const auto l = log();
    EXPECT_EQ(l.back().method, "DELETE");
    EXPECT_TRUE(clips().empty());
}

TEST_F(Upload, FileShrinkingDuringUpload) {
    svc_.post("/_test/config", {{"chunkSize", kC}});
    const auto p = file(5 * kC);
    const ApiResult r = uploadClip(p, "", [&](double) { std::filesystem::resize_file(p, kC + kC / 2); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, "Clip-Datei konnte nicht gelesen werden");
    const auto l = log();
    ASSERT_EQ(l.size(), 3u); // announce, chunk 0, withdrawal
    EXPECT_EQ(l[2].method, "DELETE");
    EXPECT_TRUE(clips().empty());
}

TEST_F(Upload, ConcurrentUploadsShareNothing) {
    svc_.post("/_test/config", {{"chunkSize", kC}});
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < 3; ++i)
        files.push_back(file((4 + static_cast<size_t>(i)) * kC, "c" + std::to_string(i)));
    std::vector<ApiResult> results(3);
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back(
            [&, i] { results[static_cast<size_t>(i)] = uploadClip(files[static_cast<size_t>(i)], "", {}); });
    const ApiResult list = listCloudClips();
    for (auto& t : threads)
        t.join();
    EXPECT_TRUE(list.error.empty());
    for (const auto& r : results)
        EXPECT_TRUE(r.error.empty()) << r.error;
    const auto c = clips();
    ASSERT_EQ(c.size(), 3u);
    std::set<int64_t> sizes;
    for (const auto& clip : c) {
        EXPECT_EQ(clip["complete"], true);
        sizes.insert(clip["size"].get<int64_t>());
    }
    EXPECT_EQ(sizes, (std::set<int64_t>{4 * kC, 5 * kC, 6 * kC}));
}

TEST_F(Upload, CommandReportsPercentNoticeAndLog) {
    svc_.post("/_test/config", {{"chunkSize", kC}});
    std::vector<int> percents;
    std::vector<std::pair<std::string, bool>> notices;
    ApiResult result;
    UploadEvents ev{[&](const std::string& f, int pct) {
                        EXPECT_EQ(f, "clip.mp4");
                        percents.push_back(pct);
                    },
                    [&](const std::string& t, bool ok) { notices.emplace_back(t, ok); },
                    [&](const ApiResult& r) { result = r; }};
    runUploadCommand(file(3 * kC), "Spiel", "clip.mp4", ev);
    EXPECT_EQ(percents, (std::vector<int>{33, 66, 100}));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], std::make_pair(std::string("In die Cloud hochgeladen"), true));
    EXPECT_TRUE(result.error.empty());

    signOut();
    runUploadCommand(file(3 * kC), "Spiel", "clip.mp4", ev);
    EXPECT_EQ(notices.back(), std::make_pair(std::string("Cloud-Upload fehlgeschlagen"), false));
    EXPECT_EQ(result.error, "Bitte zuerst unter Konto mit deinem KREL-Konto anmelden");
    const std::string text = test::readLog();
    EXPECT_NE(text.find("Cloud: Upload beginnt"), std::string::npos);
    EXPECT_NE(text.find("Cloud: Upload fertig"), std::string::npos);
    EXPECT_NE(text.find("Cloud: Upload fehlgeschlagen (401)"), std::string::npos);
    EXPECT_EQ(text.find(kPassword), std::string::npos);
}

} // namespace
} // namespace krel
