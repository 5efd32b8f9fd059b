// Data folder, clip folder and portable suffix. Cases that depend on the
// first decision of a process run in a fresh config_probe process each.

#include "config/data_directory.h"
#include "config/settings.h"
#include "config_test_support.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>

namespace krel::test {
namespace {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::optional<std::string>>;

// An environment without any of the variables that could redirect folders.
Env cleanEnv(const TempDir& tmp) {
    return {{"KREL_PLAY_DATA_DIR", std::nullopt}, {"KREL_PLAY_PORTABLE", std::nullopt},
            {"HOME", (tmp / "home").string()},    {"XDG_DATA_HOME", std::nullopt},
            {"XDG_CONFIG_HOME", std::nullopt}};
}

TEST(DataDirectory, OverrideIsCreatedAndMovesTheClipFolder) {
    TempDir tmp;
    const auto dir = tmp / "a" / "b" / "data";
    Env env = cleanEnv(tmp);
    env["KREL_PLAY_DATA_DIR"] = dir.string() + "//"; // given without trailing separators

    const auto data = runProbe({"data-dir"}, env);
    ASSERT_EQ(data.exitCode, 0);
    ASSERT_EQ(data.lines, std::vector<std::string>{dir.string()});
    EXPECT_TRUE(fs::is_directory(dir));

    const auto clips = runProbe({"clip-dir"}, env);
    ASSERT_EQ(clips.exitCode, 0);
    EXPECT_EQ(clips.lines, std::vector<std::string>{(dir / "Clips").string()});
    EXPECT_TRUE(fs::is_directory(dir / "Clips"));
    EXPECT_FALSE(fs::exists(tmp / "home")) << "nothing may be created under HOME";
}

TEST(DataDirectory, DefaultsFollowTheXdgDataHome) {
    TempDir tmp;
    Env env = cleanEnv(tmp);
    auto result = runProbe({"data-dir"}, env);
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.lines, std::vector<std::string>{(tmp / "home/.local/share/krel-play").string()});
    EXPECT_TRUE(fs::is_directory(tmp / "home/.local/share/krel-play"));

    env["XDG_DATA_HOME"] = (tmp / "xdg").string();
    result = runProbe({"data-dir"}, env);
    EXPECT_EQ(result.lines, std::vector<std::string>{(tmp / "xdg/krel-play").string()});

    // A relative XDG_DATA_HOME is invalid and ignored; an empty override is
    // the same as none.
    env["XDG_DATA_HOME"] = "relative/share";
    env["KREL_PLAY_DATA_DIR"] = "";
    result = runProbe({"data-dir"}, env);
    EXPECT_EQ(result.lines, std::vector<std::string>{(tmp / "home/.local/share/krel-play").string()});
}

TEST(DataDirectory, CreationFailureThrowsTheFilesystemError) {
    TempDir tmp;
    writeFile(tmp / "file", "not a folder");
    Env env = cleanEnv(tmp);
    env["KREL_PLAY_DATA_DIR"] = (tmp / "file" / "data").string();
    const auto result = runProbe({"data-dir"}, env);
    EXPECT_EQ(result.exitCode, 2);
    ASSERT_EQ(result.lines.size(), 3u);
    EXPECT_EQ(result.lines[0], "filesystem_error");
    EXPECT_EQ(result.lines[1], std::to_string(ENOTDIR));
    EXPECT_EQ(result.lines[2], (tmp / "file" / "data").string());

    // The clip folder below the same obstacle is returned all the same.
    const auto clips = runProbe({"clip-dir"}, env);
    EXPECT_EQ(clips.exitCode, 0);
    EXPECT_EQ(clips.lines, std::vector<std::string>{(tmp / "file/data/Clips").string()});
}

TEST(DataDirectory, FirstAnswerIsKeptForTheProcess) {
    TempDir tmp;
    Env env = cleanEnv(tmp);
    env["KREL_PLAY_DATA_DIR"] = (tmp / "first").string();
    const auto result = runProbe({"data-dir-then", (tmp / "second").string()}, env);
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.lines, (std::vector<std::string>{(tmp / "first").string(), (tmp / "first").string()}));
    EXPECT_FALSE(fs::exists(tmp / "second"));
}

TEST(DataDirectory, ConcurrentFirstCallsAgree) {
    TempDir tmp;
    Env env = cleanEnv(tmp);
    env["KREL_PLAY_DATA_DIR"] = (tmp / "x" / "y").string();
    const auto result = runProbe({"data-dir-threads", "16"}, env);
    ASSERT_EQ(result.exitCode, 0);
    ASSERT_EQ(result.lines.size(), 16u);
    EXPECT_EQ(std::set<std::string>(result.lines.begin(), result.lines.end()),
              std::set<std::string>{(tmp / "x" / "y").string()});
    EXPECT_TRUE(fs::is_directory(tmp / "x" / "y"));
}

TEST(PortableSuffix, PresenceDecidesOnceWhateverTheValue) {
    TempDir tmp;
    Env env = cleanEnv(tmp);
    EXPECT_EQ(runProbe({"portable"}, env).lines, (std::vector<std::string>{"[]", "[]"}));
    env["KREL_PLAY_PORTABLE"] = "";
    EXPECT_EQ(runProbe({"portable"}, env).lines, (std::vector<std::string>{"[_Portable]", "[_Portable]"}));
    env["KREL_PLAY_PORTABLE"] = "0";
    EXPECT_EQ(runProbe({"portable"}, env).lines, (std::vector<std::string>{"[_Portable]", "[_Portable]"}));
}

// clipDirectory is evaluated on every call, so these run in this process.
TEST(ClipDirectory, ClipDirSettingWinsOverEveryVariable) {
    TempDir tmp;
    ScopedEnv data("KREL_PLAY_DATA_DIR", (tmp / "data").string());
    ScopedEnv home("HOME", (tmp / "home").string());
    Settings settings;
    settings.clipDir = (tmp / "Meine Clips" / "neu").string() + "/";
    EXPECT_EQ(clipDirectory(settings), tmp / "Meine Clips" / "neu");
    EXPECT_TRUE(fs::is_directory(tmp / "Meine Clips" / "neu"));
    EXPECT_FALSE(fs::exists(tmp / "data"));
}

TEST(ClipDirectory, DefaultIsTheVideosFolderAndFollowsChanges) {
    TempDir tmp;
    ScopedEnv data("KREL_PLAY_DATA_DIR", std::nullopt);
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    std::optional<ScopedEnv> home;
    home.emplace("HOME", (tmp / "one").string());
    EXPECT_EQ(clipDirectory(Settings{}), tmp / "one/Videos/KREL Play");
    EXPECT_TRUE(fs::is_directory(tmp / "one/Videos/KREL Play"));

    home.emplace("HOME", (tmp / "two").string());
    EXPECT_EQ(clipDirectory(Settings{}), tmp / "two/Videos/KREL Play");

    ScopedEnv override("KREL_PLAY_DATA_DIR", (tmp / "portable").string());
    EXPECT_EQ(clipDirectory(Settings{}), tmp / "portable/Clips");
}

} // namespace
} // namespace krel::test
