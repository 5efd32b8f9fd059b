// Cloud clip operations against the local service.
#include "cloud/cloud_api.h"
#include "cloud/command_results.h"
#include "cloud/upload.h"
#include "signed_in.h"

#include <gtest/gtest.h>

namespace krel {
namespace {

TEST(CloudErrorText, FollowsStatusAndCodeInOrder) {
    setenv("KREL_PLAY_API_URL", "https://cloud.example.de", 1);
    EXPECT_EQ(cloudErrorText(0, R"({"error":"quota_exceeded"})"), "Keine Verbindung zu cloud.example.de");
    EXPECT_EQ(cloudErrorText(401, R"({"error":"quota_exceeded"})"),
              "Bitte zuerst unter Konto mit deinem KREL-Konto anmelden");
    EXPECT_EQ(cloudErrorText(403, R"({"error":"quota_exceeded"})"),
              "Dein Cloud-Speicher ist voll – lösche zuerst ältere Clips");
    EXPECT_EQ(cloudErrorText(429, R"({"error":"quota_exceeded"})"),
              "Dein Cloud-Speicher ist voll – lösche zuerst ältere Clips");
    EXPECT_EQ(cloudErrorText(413, R"({"error":"clip_too_large"})"),
              "Der Clip ist zu groß für die Cloud (höchstens 1 GB)");
    EXPECT_EQ(cloudErrorText(415, R"({"error":"not_mp4"})"), "Nur MP4-Videos können hochgeladen werden");
    EXPECT_EQ(cloudErrorText(404, R"({"error":"clip_not_found"})"), "Clip nicht gefunden");
    EXPECT_EQ(cloudErrorText(429, ""), "Zu viele Uploads – bitte später erneut versuchen");
    EXPECT_EQ(cloudErrorText(500, R"({"error":"db_down"})"), "Cloud-Fehler (500, db_down)");
    EXPECT_EQ(cloudErrorText(502, "<html>Bad Gateway</html>"), "Cloud-Fehler (502)");
    EXPECT_EQ(cloudErrorText(403, ""), "Cloud-Fehler (403)");
    // Codes are exact, and only strings count.
    EXPECT_EQ(cloudErrorText(404, R"({"error":"Clip_Not_Found"})"), "Cloud-Fehler (404, Clip_Not_Found)");
    EXPECT_EQ(cloudErrorText(404, R"({"error":7})"), "Cloud-Fehler (404)");
    EXPECT_EQ(cloudErrorText(404, R"(["error"])"), "Cloud-Fehler (404)");
    EXPECT_EQ(cloudPageUrl(), "https://cloud.example.de/app#cloud");
}

TEST(CommandResults, ShapesForThePage) {
    EXPECT_EQ(resultFromApi({401, "", "Bitte anmelden"}), nlohmann::json({{"error", "Bitte anmelden"}}));
    EXPECT_EQ(resultFromApi({200, R"({"used":1,"clips":[]})", ""}),
              nlohmann::json::parse(R"({"used":1,"clips":[]})"));
    EXPECT_EQ(resultFromApi({200, "", ""}), nlohmann::json::object());
    EXPECT_EQ(resultFromApi({200, "kein JSON", ""}), nlohmann::json::object());
    EXPECT_EQ(resultFromApi({200, "[1,2]", ""}), nlohmann::json::parse("[1,2]"));
    EXPECT_EQ(signInResult(true, ""), nlohmann::json({{"ok", true}}));
    EXPECT_EQ(signInResult(false, "E-Mail oder Passwort falsch"),
              nlohmann::json({{"error", "E-Mail oder Passwort falsch"}}));
}

TEST(CloudSignedOut, EveryOperationAsksToSignInWithoutSending) {
    test::LocalService svc;
    std::filesystem::remove(accountFilePath());
    const std::string text = "Bitte zuerst unter Konto mit deinem KREL-Konto anmelden";
    for (const ApiResult& r :
         {listCloudClips(), setCloudClipShared("a", true), getCloudClipLink("a"), deleteCloudClip("a")}) {
        EXPECT_EQ(r.status, 401);
        EXPECT_EQ(r.error, text);
        EXPECT_TRUE(r.body.empty());
    }
    EXPECT_TRUE(svc.requests().empty());
}

class CloudOps : public test::SignedIn {
protected:
    // Uploads the sample clip and returns its cloud id.
    std::string uploadSample(const std::string& name) {
        const auto file = dir_ / (name + ".mp4");
        test::writeFile(file, test::sampleMp4());
        const ApiResult r = uploadClip(file, "Testspiel", {});
        EXPECT_TRUE(r.error.empty()) << r.error;
        return nlohmann::json::parse(r.body)["id"].get<std::string>();
    }
    test::TempDir dir_;
};

TEST_F(CloudOps, ListShareLinkAndDelete) {
    const std::string id = uploadSample("Runde 1");

    ApiResult list = listCloudClips();
    ASSERT_TRUE(list.error.empty()) << list.error;
    auto body = nlohmann::json::parse(list.body);
    EXPECT_EQ(body["used"], test::sampleMp4().size());
    EXPECT_GT(body["quota"].get<double>(), 0);
    ASSERT_EQ(body["clips"].size(), 1u);
    EXPECT_EQ(body["clips"][0]["id"], id);
    EXPECT_EQ(body["clips"][0]["name"], "Runde 1");
    EXPECT_EQ(body["clips"][0]["game"], "Testspiel");
    EXPECT_FALSE(body["clips"][0].contains("shareUrl"));

    // Sharing copies exactly the link the service names.
    std::vector<std::string> clipboard;
    const ClipboardWriter copy = [&](const std::string& t) { clipboard.push_back(t); };
    ApiResult share = runCloudCommand("cloudShare", id, true, copy);
    ASSERT_TRUE(share.error.empty()) << share.error;
    const std::string shareUrl = nlohmann::json::parse(share.body)["shareUrl"];
    ASSERT_EQ(clipboard, std::vector<std::string>{shareUrl});

    // Views of the shared link are counted.
    std::vector<uint8_t> viewed;
    ASSERT_TRUE(httpGet(shareUrl, viewed, {}, nullptr));
    EXPECT_EQ(viewed, test::sampleMp4());
    body = nlohmann::json::parse(listCloudClips().body);
    EXPECT_EQ(body["clips"][0]["shareUrl"], shareUrl);
    EXPECT_EQ(body["clips"][0]["views"], 1);

    // Switching off: no link in the reply, nothing copied.
    share = runCloudCommand("cloudShare", id, false, copy);
    EXPECT_TRUE(share.error.empty());
    EXPECT_EQ(clipboard.size(), 1u);
    EXPECT_FALSE(nlohmann::json::parse(listCloudClips().body)["clips"][0].contains("shareUrl"));

    // The playable link becomes a full address below the base URL.
    const ApiResult link = runCloudCommand("cloudLink", id, false, copy);
    ASSERT_TRUE(link.error.empty());
    const std::string url = nlohmann::json::parse(link.body)["url"];
    EXPECT_EQ(url.rfind(svc_.baseUrl() + "/v/", 0), 0u);
    std::vector<uint8_t> played;
    ASSERT_TRUE(httpGet(url, played, {}, nullptr));
    EXPECT_EQ(played, test::sampleMp4());

    const ApiResult del = runCloudCommand("cloudDelete", id, false, copy);
    EXPECT_TRUE(del.error.empty());
    EXPECT_EQ(del.status, 200);
    EXPECT_TRUE(nlohmann::json::parse(listCloudClips().body)["clips"].empty());

    for (const char* cmd : {"cloudDelete", "cloudShare", "cloudLink"}) {
        const ApiResult gone = runCloudCommand(cmd, id, true, copy);
        EXPECT_EQ(gone.status, 404) << cmd;
        EXPECT_EQ(gone.error, "Clip nicht gefunden") << cmd;
    }
    EXPECT_EQ(clipboard.size(), 1u);
    EXPECT_EQ(runCloudCommand("cloudBogus", id, true, copy).error, "Unbekannter Befehl");
}

TEST_F(CloudOps, ServerErrorsAndOddReplies) {
    svc_.addFaults("GET", "^/api/play/v1/clips$",
                   {{{"status", 403}, {"raw", ""}},
                    {{"status", 500}, {"body", {{"error", "db_down"}}}},
                    {{"status", 429}, {"raw", ""}},
                    {{"status", 302}, {"headers", {{"Location", "/x"}}}},
                    "drop",
                    {{"status", 200}, {"raw", "kein JSON"}}});
    EXPECT_EQ(listCloudClips().error, "Cloud-Fehler (403)");
    EXPECT_EQ(listCloudClips().error, "Cloud-Fehler (500, db_down)");
    EXPECT_EQ(listCloudClips().error, "Zu viele Uploads – bitte später erneut versuchen");
    EXPECT_EQ(listCloudClips().error, "Cloud-Fehler (302)");
    const ApiResult lost = listCloudClips();
    EXPECT_EQ(lost.status, 0);
    EXPECT_EQ(lost.error, "Keine Verbindung zu 127.0.0.1");
    const ApiResult odd = listCloudClips();
    EXPECT_TRUE(odd.error.empty());
    EXPECT_EQ(odd.body, "kein JSON"); // a 2xx body is passed on as it came

    // A link reply that is no JSON stays as it came; a share reply with a
    // non-string link copies nothing.
    svc_.addFaults("POST", "/link$", {{{"status", 200}, {"raw", "<html>"}}});
    EXPECT_EQ(getCloudClipLink("abc").body, "<html>");
    svc_.addFaults("POST", "/share$", {{{"status", 200}, {"body", {{"shareUrl", 5}}}}});
    int copies = 0;
    EXPECT_TRUE(
        runCloudCommand("cloudShare", "abc", true, [&](const std::string&) { ++copies; }).error.empty());
    EXPECT_EQ(copies, 0);

    setenv("KREL_PLAY_API_URL", "http://127.0.0.1:1", 1);
    EXPECT_EQ(deleteCloudClip("abc").error, "Keine Verbindung zu 127.0.0.1");
}

TEST_F(CloudOps, ClipIdsAndLinkUrlsStayOnTheirEndpoint) {
    // Ids the service never hands out are refused before anything is sent.
    for (const std::string& cid : std::vector<std::string>{"../../browse/v1/logout?", "a/b", "a?x=1", "a#f",
                                                            "a@h", "", "a b", "%2e", std::string(129, 'a')}) {
        for (const char* cmd : {"cloudDelete", "cloudShare", "cloudLink"}) {
            const ApiResult r = runCloudCommand(cmd, cid, true, {});
            EXPECT_EQ(r.error, "Clip nicht gefunden") << cmd << " " << cid;
            EXPECT_EQ(r.status, 0);
        }
    }
    EXPECT_TRUE(apiRequests().empty());
    EXPECT_EQ(deleteCloudClip(std::string(128, 'a')).status, 404); // the longest id is sent

    // A link must be a path on the service, else the page gets an error.
    const std::string base = svc_.baseUrl();
    for (const char* url : {"//evil.example/v", "@evil.example/v", "https://evil.example/v", "v/abc", "",
                            "/v/a b", "/v/\\evil"}) {
        svc_.addFaults("POST", "/link$", {{{"status", 200}, {"body", {{"url", url}}}}});
        const ApiResult r = getCloudClipLink("abc");
        EXPECT_EQ(r.error, "Antwort der Cloud unlesbar") << url;
    }
    svc_.addFaults("POST", "/link$", {{{"status", 200}, {"body", {{"url", "/v/x?t=1#s@"}}}}});
    const ApiResult ok = getCloudClipLink("abc");
    EXPECT_TRUE(ok.error.empty());
    EXPECT_EQ(nlohmann::json::parse(ok.body)["url"], base + "/v/x?t=1#s@");
}

TEST_F(CloudOps, RevokedTokenAsksToSignInAgain) {
    ASSERT_TRUE(listCloudClips().error.empty());
    svc_.post("/_test/revoke", {{"email", kEmail}});
    const ApiResult r = listCloudClips();
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.error, "Bitte zuerst unter Konto mit deinem KREL-Konto anmelden");
    const auto log = apiRequests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1]["auth"], true); // the stored token was sent and refused
}

} // namespace
} // namespace krel
