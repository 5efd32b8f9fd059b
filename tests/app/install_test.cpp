// Installing a copied executable into a temporary home and removing it
// again; the desktop entries are checked by desktop-file-validate.
#include "app/install.h"
#include "temp_dir.h"
#include "ui/app_icon_svg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace krel {
namespace {

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The validator's complaints; empty when the file passes without any.
std::string validate(const fs::path& entry) {
    struct PipeClose {
        void operator()(std::FILE* f) const { pclose(f); }
    };
    const std::string command = "desktop-file-validate '" + entry.string() + "' 2>&1; echo rc=$?";
    std::unique_ptr<std::FILE, PipeClose> pipe(popen(command.c_str(), "r"));
    std::string out;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
    return out == "rc=0\n" ? "" : out;
}

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        // Characters that need quoting and escaping in an Exec line.
        home_ = dir_ / "my home $1 50%";
        fs::create_directories(home_);
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_DATA_HOME", (home_ / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
        unsetenv("KREL_PLAY_DATA_DIR");
        // The "running" program: a real executable, downloaded without
        // permissions for others.
        fs::create_directories(dir_ / "Downloads");
        exe_ = dir_ / "Downloads" / "krel-play";
        fs::copy_file("/bin/true", exe_);
        fs::permissions(exe_, fs::perms::owner_all);
        settings_ = home_ / "data" / "krel-play" / "settings.json";
        fs::create_directories(settings_.parent_path());
        std::ofstream(settings_) << R"({"autostart": true})";
    }

    test::TempDir dir_;
    fs::path home_, exe_, settings_;
};

TEST_F(Install, InstallsAutostartsAndUninstallsExactlyItsFiles) {
    const fs::path installed = home_ / ".local/lib/krel-play/krel-play";
    const fs::path link = home_ / ".local/bin/krel-play";
    const fs::path icon = home_ / "data/icons/hicolor/scalable/apps/krel-play.svg";
    EXPECT_EQ(installedExePath(), installed);
    EXPECT_EQ(shortcutPath(), home_ / "data/applications/krel-play.desktop");
    EXPECT_EQ(autostartPath(), home_ / "config/autostart/krel-play.desktop");
    EXPECT_FALSE(isInstalled(exe_));
    ASSERT_FALSE(fs::exists(link.parent_path()));

    std::string error;
    ASSERT_TRUE(installSelf(error, exe_)) << error;
    EXPECT_EQ(readText(installed), readText(exe_));
    EXPECT_EQ(fs::status(installed).permissions(), static_cast<fs::perms>(0755));
    EXPECT_EQ(fs::read_symlink(link), installed);
    EXPECT_EQ(std::system(("'" + link.string() + "'").c_str()), 0);
    EXPECT_EQ(readText(icon), kAppIconSvg);

    const std::string entry = readText(shortcutPath());
    EXPECT_EQ(validate(shortcutPath()), "");
    const std::string exec = "Exec=\"" + dir_.path().string() + "/my home \\\\$1 50%%/.local/lib/krel-play/krel-play\"";
    EXPECT_NE(entry.find(exec + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find(exec + " --uninstall\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("X-KREL-Version=0.1.7\n"), std::string::npos);

    // Identity, not path text, decides.
    EXPECT_FALSE(isInstalled(exe_));
    EXPECT_TRUE(isInstalled(installed));
    EXPECT_TRUE(isInstalled(home_ / ".local/lib/./krel-play/../krel-play/krel-play"));
    EXPECT_TRUE(isInstalled(link));

    // Autostart names the executable it is given: on, off, off again.
    setAutostart(true, installed);
    EXPECT_EQ(validate(autostartPath()), "");
    EXPECT_NE(readText(autostartPath()).find(exec + " --tray\n"), std::string::npos);
    setAutostart(false, installed);
    EXPECT_FALSE(fs::exists(autostartPath()));
    setAutostart(false, installed);
    EXPECT_FALSE(fs::exists(autostartPath()));

    // The installed copy installs over itself while "running".
    ASSERT_TRUE(installSelf(error, installed)) << error;
    EXPECT_EQ(readText(installed), readText(exe_));
    setAutostart(true, installed);

    uninstallSelf();
    EXPECT_FALSE(fs::exists(home_ / ".local/lib/krel-play"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_FALSE(fs::exists(shortcutPath()));
    EXPECT_FALSE(fs::exists(icon));
    EXPECT_FALSE(fs::exists(autostartPath()));
    EXPECT_FALSE(isInstalled(installed));
    EXPECT_EQ(readText(settings_), R"({"autostart": true})");
    EXPECT_TRUE(fs::exists(exe_));

    uninstallSelf(); // nothing left to remove
    EXPECT_EQ(readText(settings_), R"({"autostart": true})");
}

TEST_F(Install, BlockedFolderFailsAndForeignLinkStays) {
    const fs::path link = home_ / ".local/bin/krel-play";
    fs::create_directories(link.parent_path());
    fs::create_symlink("/bin/true", link);
    uninstallSelf(); // nothing installed yet
    EXPECT_EQ(fs::read_symlink(link), "/bin/true");

    // A file where the install folder belongs: the copy fails, and nothing
    // else is written.
    const fs::path folder = home_ / ".local/lib/krel-play";
    fs::create_directories(folder.parent_path());
    std::ofstream(folder) << "not a folder";
    std::string error;
    EXPECT_FALSE(installSelf(error, exe_));
    EXPECT_EQ(error, "Programm konnte nicht kopiert werden (läuft es schon?)");
    EXPECT_FALSE(fs::exists(shortcutPath()));
    EXPECT_FALSE(fs::exists(home_ / "data/icons"));
    uninstallSelf(); // leaves that file alone
    EXPECT_EQ(readText(folder), "not a folder");

    fs::remove(folder);
    ASSERT_TRUE(installSelf(error, exe_)) << error;
    EXPECT_EQ(fs::read_symlink(link), "/bin/true");
    uninstallSelf();
    EXPECT_EQ(fs::read_symlink(link), "/bin/true");
    EXPECT_FALSE(fs::exists(folder));
}

} // namespace
} // namespace krel
