// The XDG lookups behind the default data and clip folders. They read the
// environment and "user-dirs.dirs" on every call, so each test sets its own.

#include "config/known_folders.h"
#include "config_test_support.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

namespace krel::test {
namespace {

namespace fs = std::filesystem;

class KnownFolders : public ::testing::Test {
protected:
    void writeUserDirs(const std::string& content) {
        fs::create_directories(tmp_ / "home/.config");
        writeFile(tmp_ / "home/.config/user-dirs.dirs", content);
    }
    fs::path home() const { return tmp_ / "home"; }

    TempDir tmp_;
    ScopedEnv home_{"HOME", (tmp_ / "home").string()};
    ScopedEnv configHome_{"XDG_CONFIG_HOME", std::nullopt};
    ScopedEnv dataHome_{"XDG_DATA_HOME", std::nullopt};
};

TEST_F(KnownFolders, VideosFallBackToHomeVideosWithoutAnEntry) {
    EXPECT_EQ(userVideosFolder(), home() / "Videos") << "no user-dirs.dirs at all";
    writeUserDirs("# written by xdg-user-dirs-update\n"
                  "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
                  "XDG_MUSIC_DIR=\"$HOME/Musik\"\n");
    EXPECT_EQ(userVideosFolder(), home() / "Videos") << "file without a videos entry";
}

TEST_F(KnownFolders, VideosEntryIsReadInItsForms) {
    writeUserDirs("XDG_VIDEOS_DIR=\"$HOME/Filme\"\n");
    EXPECT_EQ(userVideosFolder(), home() / "Filme");

    writeUserDirs("  XDG_VIDEOS_DIR = \"" + (tmp_ / "srv/videos/").string() + "\"\n");
    EXPECT_EQ(userVideosFolder(), tmp_ / "srv/videos") << "absolute, blanks, trailing slash";

    writeUserDirs("XDG_VIDEOS_DIR=\"$HOME/Meine \\\"Videos\\\"\"\n");
    EXPECT_EQ(userVideosFolder(), home() / "Meine \"Videos\"") << "escaped quotes";

    writeUserDirs("XDG_VIDEOS_DIR=\"$HOME/Alt\"\n# XDG_VIDEOS_DIR=\"$HOME/Kommentar\"\nXDG_VIDEOS_DIR=\"$HOME/Neu\"\n");
    EXPECT_EQ(userVideosFolder(), home() / "Neu") << "the last assignment wins, comments do not count";
}

TEST_F(KnownFolders, MalformedVideosEntriesAreIgnored) {
    for (const char* line : {"XDG_VIDEOS_DIR=\"Filme\"\n", "XDG_VIDEOS_DIR=$HOME/Filme\n",
                             "XDG_VIDEOS_DIR=\"$HOME/Filme\n", "XDG_VIDEOS_DIR=\"$HOMEFilme\"\n",
                             "XDG_VIDEOS_DIRX=\"$HOME/Filme\"\n", "XDG_VIDEOS_DIR=\"\"\n"}) {
        writeUserDirs(line);
        EXPECT_EQ(userVideosFolder(), home() / "Videos") << line;
    }
}

TEST_F(KnownFolders, ConfigHomeAndHomeChangesTakeEffectAtOnce) {
    writeUserDirs("XDG_VIDEOS_DIR=\"$HOME/Filme\"\n");
    EXPECT_EQ(userVideosFolder(), home() / "Filme");
    {
        ScopedEnv other("XDG_CONFIG_HOME", (tmp_ / "elsewhere").string());
        EXPECT_EQ(userVideosFolder(), home() / "Videos");
    }
    ScopedEnv otherHome("HOME", (tmp_ / "zweites").string());
    EXPECT_EQ(userVideosFolder(), tmp_ / "zweites/Videos");
}

TEST_F(KnownFolders, DataBaseFollowsXdgDataHome) {
    EXPECT_EQ(userDataBaseFolder(), home() / ".local/share");
    {
        ScopedEnv data("XDG_DATA_HOME", (tmp_ / "daten/").string());
        EXPECT_EQ(userDataBaseFolder(), tmp_ / "daten");
    }
    ScopedEnv relative("XDG_DATA_HOME", "daten");
    EXPECT_EQ(userDataBaseFolder(), home() / ".local/share");
    EXPECT_STREQ(dataFolderName(), "krel-play");
}

} // namespace
} // namespace krel::test
