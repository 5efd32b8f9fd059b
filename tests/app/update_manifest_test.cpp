// Manifest rules and version comparison.
#include "app/update.h"
#include "app/version.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace krel {
namespace {

const std::string kBase = "https://updates.example.de/downloads/play/";
const std::string kDigest(64, 'a');

UpdateInfo parse(const nlohmann::json& j, std::string& error) {
    return parseManifest(j.dump(), kBase, error);
}

TEST(UpdateVersion, ComparesLikeTheReleaseNumbers) {
    EXPECT_EQ(parseVersion("v1.0"), (std::vector<int32_t>{1, 0, 0}));
    EXPECT_EQ(parseVersion("Version 0.7-beta.2"), (std::vector<int32_t>{0, 7, 2}));
    EXPECT_EQ(parseVersion("1..3"), (std::vector<int32_t>{1, 0, 3}));
    EXPECT_EQ(parseVersion(""), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(parseVersion("1.2.3.4.5"), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(parseVersion("99999999999999"), (std::vector<int32_t>{INT32_MAX, 0, 0}));

    ASSERT_STREQ(kAppVersion, "0.1.7");
    for (const char* newer : {"0.1.8", "0.2", "v1.0", "0.1.7.1", "0.1.7.0", "0.1.10"})
        EXPECT_TRUE(isNewerVersion(newer, kAppVersion)) << newer;
    for (const char* notNewer : {"0.1.7", "0.1.6", "0.1", "", "v0.1.7", "0.0.99"})
        EXPECT_FALSE(isNewerVersion(notNewer, kAppVersion)) << notNewer;
}

TEST(UpdateManifest, ReadsTheRelease) {
    std::string error;
    const std::string upper(64, 'F');
    const UpdateInfo info = parse(
        {{"version", "0.2.0"}, {"file", "KREL Play 0.2.0"}, {"sha256", upper}, {"notes", "Neu"}, {"x", 1}},
        error);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(info.version, "0.2.0");
    EXPECT_EQ(info.url, kBase + "KREL Play 0.2.0");
    EXPECT_EQ(info.sha256, upper);
    EXPECT_EQ(info.notes, "Neu");

    // Notes are cut to 4000 bytes, never inside a character.
    std::string notes(3999, 'n');
    notes += "äöü";
    const UpdateInfo cut =
        parse({{"version", "1"}, {"file", "a"}, {"sha256", kDigest}, {"notes", notes}}, error);
    EXPECT_EQ(cut.notes.size(), 3999u);
    EXPECT_EQ(parse({{"version", "1"}, {"file", "a"}, {"sha256", kDigest}, {"notes", std::string(5000, 'n')}},
                    error)
                  .notes.size(),
              4000u);

    // A missing version means no release, without an error.
    error.clear();
    EXPECT_TRUE(parse({{"file", "a"}, {"sha256", kDigest}}, error).version.empty());
    EXPECT_TRUE(error.empty());
}

TEST(UpdateManifest, RefusesUnsafeOrIncompleteManifests) {
    std::string error;
    for (const char* file : {"sub/app", "..\\app.exe", "C:app.exe", "", "..", ".", "a\nb"}) {
        error.clear();
        const UpdateInfo info = parse({{"version", "9.0"}, {"file", file}, {"sha256", kDigest}}, error);
        EXPECT_EQ(error, "Update-Information ungültig") << file;
        EXPECT_TRUE(info.version.empty());
        EXPECT_TRUE(info.url.empty());
    }
    for (size_t len : {size_t{0}, size_t{63}, size_t{65}}) {
        error.clear();
        const UpdateInfo info =
            parse({{"version", "9.0"}, {"file", "a"}, {"sha256", std::string(len, 'a')}}, error);
        EXPECT_EQ(error, "Update ohne Prüfsumme") << len;
        EXPECT_TRUE(info.version.empty());
    }
    for (const char* body : {"", "[]", "\"text\"", "{\"version\":", "<html></html>"}) {
        error.clear();
        EXPECT_TRUE(parseManifest(body, kBase, error).version.empty());
        EXPECT_EQ(error, "Update-Information unlesbar") << body;
    }
    for (const char* key : {"version", "file", "sha256", "notes"}) {
        nlohmann::json j = {{"version", "9.0"}, {"file", "a"}, {"sha256", kDigest}, {"notes", ""}};
        j[key] = 1.5;
        error.clear();
        EXPECT_TRUE(parse(j, error).version.empty()) << key;
        EXPECT_EQ(error, "Update-Information unlesbar") << key;
    }
}

TEST(UpdateManifest, FileVersionAndSizeStayWithinBounds) {
    std::string error;
    for (const char* file : {"app?x", "app#1", "a%2fb", "a@b", "a+b", "ä", "a~", "a\tb"}) {
        error.clear();
        EXPECT_TRUE(parse({{"version", "9.0"}, {"file", file}, {"sha256", kDigest}}, error).url.empty()) << file;
        EXPECT_EQ(error, "Update-Information ungültig") << file;
    }
    EXPECT_EQ(parse({{"version", "9.0"}, {"file", "KREL_Play-9.0 x86.64"}, {"sha256", kDigest}}, error).url,
              kBase + "KREL_Play-9.0 x86.64");

    for (const std::string& version : std::vector<std::string>{std::string(65, '1'), "1.0\n", "1.0\xC3\xA4"}) {
        error.clear();
        EXPECT_TRUE(parse({{"version", version}, {"file", "a"}, {"sha256", kDigest}}, error).version.empty());
        EXPECT_EQ(error, "Update-Information ungültig") << version;
    }
    error.clear();
    EXPECT_EQ(parse({{"version", std::string(64, '9')}, {"file", "a"}, {"sha256", kDigest}}, error).version,
              std::string(64, '9'));

    // The whole manifest is at most 64 KiB.
    nlohmann::json j = {{"version", "9.0"}, {"file", "a"}, {"sha256", kDigest}, {"notes", ""}};
    j["notes"] = std::string(kManifestMaxBytes - j.dump().size(), 'n');
    EXPECT_EQ(parseManifest(j.dump(), kBase, error).version, "9.0");
    j["notes"] = j["notes"].get<std::string>() + "n";
    EXPECT_TRUE(parseManifest(j.dump(), kBase, error).version.empty());
    EXPECT_EQ(error, "Update-Information unlesbar");
}

TEST(UpdateManifest, CheckReplyResult) {
    UpdateInfo info{"0.2.0", "u", kDigest, ""};
    EXPECT_EQ(updateCheckResult(true, info, ""), nlohmann::json({{"version", "0.2.0"}}));
    EXPECT_EQ(updateCheckResult(false, info, ""), nlohmann::json({{"version", ""}}));
    EXPECT_EQ(updateCheckResult(false, {}, "Keine Verbindung"),
              nlohmann::json({{"version", ""}, {"error", "Keine Verbindung"}}));
    // With a version read, an error is not shown.
    EXPECT_EQ(updateCheckResult(true, info, "x"), nlohmann::json({{"version", "0.2.0"}}));
}

TEST(UpdateManifest, BaseUrlFromEnvironment) {
    {
        test::ScopedEnv url("KREL_PLAY_UPDATE_URL", "http://127.0.0.1:9/u/");
        EXPECT_EQ(updateBaseUrl(), "http://127.0.0.1:9/u/");
    }
    test::ScopedEnv unset("KREL_PLAY_UPDATE_URL", std::nullopt);
    EXPECT_EQ(updateBaseUrl().rfind("https://", 0), 0u);
    EXPECT_TRUE(updateBaseUrl().ends_with("/downloads/play/"));
}

} // namespace
} // namespace krel
