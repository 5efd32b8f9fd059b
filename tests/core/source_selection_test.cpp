// Choosing the capture source: the exclusion list and the full-screen test on
// their own, then game detection, title lookup, monitors and the foreground
// watcher through the X11 window system on a real Xvfb, with the test
// playing the window manager.

#include "core/source_selection.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) clash with gtest names.
#include "x11_desktop.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>

namespace krel {
namespace {

using test::ChildProcess;
using test::Desktop;
using test::WindowSpec;

TEST(ExcludedProcesses, WindowsNamesComeFirstAndEveryEntryIsALowerCaseWholeName) {
    const auto list = excludedProcesses();
    const std::vector<std::string_view> windows{
        "explorer.exe",   "krel play.exe",           "krel browse.exe",          "chrome.exe",
        "msedge.exe",     "firefox.exe",             "discord.exe",              "searchhost.exe",
        "startmenuexperiencehost.exe", "shellexperiencehost.exe", "applicationframehost.exe", "code.exe",
        "claude.exe",     "textinputhost.exe",       "lockapp.exe"};
    ASSERT_GE(list.size(), windows.size());
    EXPECT_TRUE(std::equal(windows.begin(), windows.end(), list.begin()));
    std::set<std::string_view> seen;
    for (const auto name : list) {
        EXPECT_FALSE(name.empty());
        EXPECT_TRUE(std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) << name;
        EXPECT_TRUE(seen.insert(name).second) << "twice: " << name;
    }
    for (const auto name : {"krel-play", "firefox", "chromium", "google-chrome", "discord", "code", "gnome-shell",
                            "plasmashell", "nautilus", "dolphin", "thunar"})
        EXPECT_TRUE(seen.count(name)) << name;
}

TEST(ExcludedProcesses, ComparedInLowerCaseOnTheWholeFileName) {
    for (const auto name : {"chrome.exe", "Chrome.exe", "CHROME.EXE", "Krel Play.exe", "firefox", "Firefox-ESR",
                            "Discord", "krel-play", "gnome-shell"})
        EXPECT_TRUE(isExcludedProcess(name)) << name;
    for (const auto name : {"", "chrome.exe.bak", "chrome.ex", "xchrome.exe", "firefox ", "/usr/bin/firefox",
                            "game.exe", "sleep", "krel-play-game"})
        EXPECT_FALSE(isExcludedProcess(name)) << name;
}

TEST(CoversMonitor, EqualOrLargerCoversOnePixelShortOnAnySideDoesNot) {
    const ScreenRect monitor{1920, 0, 3840, 1080}; // a second monitor right of the first
    EXPECT_TRUE(coversMonitor(monitor, monitor));
    EXPECT_TRUE(coversMonitor({1900, -20, 3900, 1100}, monitor));
    EXPECT_FALSE(coversMonitor({1921, 0, 3840, 1080}, monitor));
    EXPECT_FALSE(coversMonitor({1920, 1, 3840, 1080}, monitor));
    EXPECT_FALSE(coversMonitor({1920, 0, 3839, 1080}, monitor));
    EXPECT_FALSE(coversMonitor({1920, 0, 3840, 1079}, monitor));
    EXPECT_FALSE(coversMonitor({0, 0, 1920, 1080}, monitor)); // the neighbour monitor
}

// The display of the test services: one 1920 x 1080 monitor, no window
// manager; the Desktop plays it.
class X11Sources : public ::testing::Test {
protected:
    std::unique_ptr<WindowSystem> ws_ = createWindowSystem();
    Desktop desk_;
    test::TempDir dir_;
    ChildProcess game_{"/bin/sleep", {"30"}};

    Window fullScreen(pid_t pid, const std::string& title = "Spiel") {
        return desk_.create(WindowSpec().at(0, 0).size(1920, 1080).title(title).pid(pid));
    }
    // A window of a program whose executable has the file name `name`.
    Window fullScreenOf(const std::string& name, std::vector<std::unique_ptr<ChildProcess>>& keep) {
        keep.push_back(std::make_unique<ChildProcess>(test::copyProgramAs("/bin/sleep", dir_.path(), name),
                                                      std::vector<std::string>{"30"}));
        return fullScreen(keep.back()->pid());
    }
    std::optional<WindowId> game() { return detectGame(*ws_); }
};

TEST_F(X11Sources, ForegroundWindowComesFromTheActiveWindowProperty) {
    EXPECT_EQ(ws_->foregroundWindow(), std::nullopt); // no window manager has set it
    const Window w = desk_.create(WindowSpec().title("A"));
    desk_.setActive(w);
    EXPECT_EQ(ws_->foregroundWindow(), WindowId{w});
    desk_.setActiveNone();
    EXPECT_EQ(ws_->foregroundWindow(), std::nullopt);
    EXPECT_EQ(game(), std::nullopt);
}

TEST_F(X11Sources, DescribeReportsStateGeometryTitleAndProcess) {
    const Window own = desk_.create(
        WindowSpec().at(50, 60).size(300, 200).title("Fenster ä").pid(::getpid()).border(4));
    WindowState s = ws_->describe(own);
    EXPECT_TRUE(s.exists);
    EXPECT_TRUE(s.visible);
    EXPECT_FALSE(s.minimized);
    EXPECT_EQ(s.outer, (ScreenRect{50, 60, 50 + 300 + 8, 60 + 200 + 8})); // the border belongs to the window
    EXPECT_EQ(s.clientWidth, 300u);
    EXPECT_EQ(s.clientHeight, 200u);
    EXPECT_EQ(s.title, "Fenster ä");
    EXPECT_EQ(s.process, std::filesystem::read_symlink("/proc/self/exe").filename().string());

    EXPECT_EQ(ws_->describe(desk_.create(WindowSpec().title("x").pid(game_.pid()))).process, "sleep");
    EXPECT_EQ(ws_->describe(desk_.create(WindowSpec().title("x"))).process, ""); // no _NET_WM_PID

    // WM_NAME when _NET_WM_NAME is missing; titles cut to 255 characters.
    EXPECT_EQ(ws_->describe(desk_.create(WindowSpec().wmName("Alter Titel"))).title, "Alter Titel");
    std::string longTitle;
    for (int i = 0; i < 300; ++i) longTitle += "ö";
    EXPECT_EQ(ws_->describe(desk_.create(WindowSpec().title(longTitle))).title, longTitle.substr(0, 2 * 255));

    desk_.unmap(own);
    s = ws_->describe(own);
    EXPECT_TRUE(s.exists);
    EXPECT_FALSE(s.visible);
}

TEST_F(X11Sources, MinimisedThroughWmStateOrNetWmStateHidden) {
    const Window a = desk_.create(WindowSpec().title("a"));
    const Window b = desk_.create(WindowSpec().title("b"));
    desk_.setWmState(a, NormalState);
    desk_.setNetWmState(b, {"_NET_WM_STATE_FULLSCREEN"});
    EXPECT_FALSE(ws_->describe(a).minimized);
    EXPECT_FALSE(ws_->describe(b).minimized);
    desk_.setWmState(a, IconicState);
    desk_.setNetWmState(b, {"_NET_WM_STATE_FULLSCREEN", "_NET_WM_STATE_HIDDEN"});
    EXPECT_TRUE(ws_->describe(a).minimized);
    EXPECT_TRUE(ws_->describe(b).minimized);
}

TEST_F(X11Sources, FramedWindowTakesTheFrameAsOuterRectangle) {
    const Window client = desk_.create(WindowSpec().size(400, 300).title("Gerahmt").unmapped());
    desk_.setWmState(client, NormalState);
    const Window frame = desk_.frame(client, 100, 80, 410, 330, 5, 25);
    const WindowState s = ws_->describe(client);
    EXPECT_EQ(s.outer, (ScreenRect{100, 80, 510, 410}));
    EXPECT_EQ(s.clientWidth, 400u);
    EXPECT_EQ(s.clientHeight, 300u);
    // Without the window manager's stacking list, the root's children are
    // frames; the client inside is what gets listed.
    const auto windows = ws_->topLevelWindows();
    EXPECT_NE(std::find(windows.begin(), windows.end(), WindowId{client}), windows.end());
    EXPECT_EQ(std::find(windows.begin(), windows.end(), WindowId{frame}), windows.end());
    EXPECT_EQ(findWindowByTitle(*ws_, "Gerahmt"), WindowId{client});
}

TEST_F(X11Sources, GameIsAFullScreenForegroundWindowOfAProgramNotExcluded) {
    const Window w = fullScreen(game_.pid());
    desk_.setActive(w);
    EXPECT_EQ(game(), WindowId{w});

    // Larger than the monitor on every side still covers it.
    const Window large = desk_.create(WindowSpec().at(-10, -10).size(1940, 1100).pid(game_.pid()));
    desk_.setActive(large);
    EXPECT_EQ(game(), WindowId{large});

    // One pixel short on any side does not.
    const WindowSpec shorts[] = {WindowSpec().at(1, 0).size(1919, 1080),
                                 WindowSpec().at(0, 1).size(1920, 1079),
                                 WindowSpec().at(0, 0).size(1919, 1080),
                                 WindowSpec().at(0, 0).size(1920, 1079)};
    for (WindowSpec shape : shorts) {
        shape.pid(game_.pid());
        desk_.setActive(desk_.create(shape));
        EXPECT_EQ(game(), std::nullopt) << shape.x_ << "," << shape.y_ << " " << shape.width_ << "x" << shape.height_;
    }

    // This program's own windows are not on the list under the test's name.
    desk_.setActive(fullScreen(::getpid()));
    EXPECT_TRUE(game());
    // Nor is a window whose process is unknown.
    desk_.setActive(desk_.create(WindowSpec().size(1920, 1080)));
    EXPECT_TRUE(game());
}

TEST_F(X11Sources, MinimisedHiddenOrUnmappedForegroundWindowIsNoGame) {
    const Window iconic = fullScreen(game_.pid());
    desk_.setWmState(iconic, IconicState);
    desk_.setActive(iconic);
    EXPECT_EQ(game(), std::nullopt);

    const Window hidden = fullScreen(game_.pid());
    desk_.setNetWmState(hidden, {"_NET_WM_STATE_HIDDEN"});
    desk_.setActive(hidden);
    EXPECT_EQ(game(), std::nullopt);

    const Window unmapped = fullScreen(game_.pid());
    desk_.unmap(unmapped);
    desk_.setActive(unmapped);
    EXPECT_EQ(game(), std::nullopt);
}

TEST_F(X11Sources, BrowsersInAnyLetterCaseAreNoGames) {
    std::vector<std::unique_ptr<ChildProcess>> keep;
    for (const std::string name : {"firefox", "Chrome", "chrome.exe", "Chrome.EXE", "Discord", "krel-play"}) {
        const Window w = fullScreenOf(name, keep);
        ASSERT_EQ(ws_->describe(w).process, name); // in the case the system reports
        desk_.setActive(w);
        EXPECT_EQ(game(), std::nullopt) << name;
    }
    const Window unknown = fullScreenOf("supertuxkart", keep);
    desk_.setActive(unknown);
    EXPECT_EQ(game(), WindowId{unknown});
}

// Full-screen windows that are part of the desktop, or of an excluded
// program whose process id names something else (a sandbox), are no games.
TEST_F(X11Sources, DesktopAndDockWindowsAndExcludedWindowClassesAreNoGames) {
    for (const char* type : {"_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK"}) {
        const Window w = fullScreen(game_.pid());
        desk_.setWindowType(w, {type});
        desk_.setActive(w);
        EXPECT_TRUE(ws_->describe(w).desktopOrDock) << type;
        EXPECT_EQ(game(), std::nullopt) << type;
    }
    const Window normal = fullScreen(game_.pid());
    desk_.setWindowType(normal, {"_NET_WM_WINDOW_TYPE_NORMAL"});
    desk_.setActive(normal);
    EXPECT_EQ(game(), WindowId{normal});

    // A sandboxed browser: _NET_WM_PID is no process of this system's view
    // (here: a game-like "sleep"), WM_CLASS names the browser.
    const Window chrome = fullScreen(game_.pid());
    desk_.setWmClass(chrome, "google-chrome", "Google-chrome");
    desk_.setActive(chrome);
    const WindowState s = ws_->describe(chrome);
    EXPECT_EQ(s.instanceName, "google-chrome");
    EXPECT_EQ(s.className, "Google-chrome");
    EXPECT_EQ(game(), std::nullopt);
    const Window firefox = fullScreen(game_.pid());
    desk_.setWmClass(firefox, "Navigator", "Firefox");
    desk_.setActive(firefox);
    EXPECT_EQ(game(), std::nullopt);
    const Window other = fullScreen(game_.pid());
    desk_.setWmClass(other, "spiel", "Spiel");
    desk_.setActive(other);
    EXPECT_EQ(game(), WindowId{other});
}

// Properties are set by foreign clients and are read by their format and
// type, never trusted by name; texts come out as valid UTF-8.
TEST_F(X11Sources, UntrustedPropertiesAreCheckedAndTextsConverted) {
    // WM_NAME is Latin-1.
    EXPECT_EQ(ws_->describe(desk_.create(WindowSpec().wmName("Caf\xE9 \xC4rger"))).title, "Café Ärger");
    // _NET_WM_NAME that is not UTF-8: the broken bytes are replaced.
    const Window broken = desk_.create(WindowSpec());
    desk_.setProperty(broken, "_NET_WM_NAME", "UTF8_STRING", 8, "Spiel \xFF\xFE!");
    EXPECT_EQ(ws_->describe(broken).title, "Spiel \xEF\xBF\xBD!");
    // WM_CLASS in Latin-1 as well.
    const Window latin = desk_.create(WindowSpec());
    desk_.setWmClass(latin, "spi\xEBl", "Spi\xEBl");
    EXPECT_EQ(ws_->describe(latin).className, "Spiël");

    // _NET_WM_PID of format 8 (one byte) or of another type names no process.
    const Window bytePid = desk_.create(WindowSpec().title("x"));
    desk_.setProperty(bytePid, "_NET_WM_PID", "CARDINAL", 8, "\x01");
    WindowState s = ws_->describe(bytePid);
    EXPECT_TRUE(s.exists);
    EXPECT_EQ(s.process, "");
    const Window stringPid = desk_.create(WindowSpec().title("x"));
    desk_.setProperty(stringPid, "_NET_WM_PID", "STRING", 8, std::to_string(game_.pid()));
    EXPECT_EQ(ws_->describe(stringPid).process, "");
    // An empty format-32 list neither.
    const Window emptyPid = desk_.create(WindowSpec().title("x"));
    desk_.setProperty(emptyPid, "_NET_WM_PID", "CARDINAL", 32, "");
    EXPECT_EQ(ws_->describe(emptyPid).process, "");
    // Window types of format 8 are no window types.
    const Window byteType = fullScreen(game_.pid());
    desk_.setProperty(byteType, "_NET_WM_WINDOW_TYPE", "ATOM", 8, "DOCK");
    EXPECT_FALSE(ws_->describe(byteType).desktopOrDock);
    // WM_CLASS of format 32 is ignored.
    const Window longClass = desk_.create(WindowSpec());
    desk_.setProperty(longClass, "WM_CLASS", "STRING", 32, std::string(2 * sizeof(long), 'a'));
    EXPECT_EQ(ws_->describe(longClass).instanceName, "");
}

TEST_F(X11Sources, EndedProcessIsNamedFromItsCommandName) {
    // A zombie keeps its /proc entry but names no executable any more.
    ChildProcess opera(test::copyProgramAs("/bin/true", dir_.path(), "Opera"), {});
    ChildProcess other(test::copyProgramAs("/bin/true", dir_.path(), "Raumschiff"), {});
    opera.waitEndedUnreaped();
    other.waitEndedUnreaped();
    const Window excluded = fullScreen(opera.pid());
    const Window unknown = fullScreen(other.pid());
    EXPECT_EQ(ws_->describe(excluded).process, "Opera");
    desk_.setActive(excluded);
    EXPECT_EQ(game(), std::nullopt);
    desk_.setActive(unknown);
    EXPECT_EQ(game(), WindowId{unknown});
}

TEST_F(X11Sources, TitleLookupTakesTheTopmostOfTwoSameTitledWindows) {
    const Window a = desk_.create(WindowSpec().title("Zwei"));
    const Window b = desk_.create(WindowSpec().title("Zwei"));
    // The stacking list runs bottom to top.
    desk_.setStacking(std::vector<Window>{a, b});
    EXPECT_EQ(findWindowByTitle(*ws_, "Zwei"), WindowId{b});
    desk_.setStacking(std::vector<Window>{b, a});
    EXPECT_EQ(findWindowByTitle(*ws_, "Zwei"), WindowId{a});
    const auto listed = ws_->topLevelWindows();
    EXPECT_EQ(listed, (std::vector<WindowId>{a, b}));

    // Without a window manager's list, the server's stacking order counts.
    desk_.setStacking(std::nullopt);
    desk_.raise(a);
    EXPECT_EQ(findWindowByTitle(*ws_, "Zwei"), WindowId{a});
    desk_.raise(b);
    EXPECT_EQ(findWindowByTitle(*ws_, "Zwei"), WindowId{b});
    EXPECT_EQ(findWindowByTitle(*ws_, "zwei"), std::nullopt); // case-sensitive
    EXPECT_EQ(findWindowByTitle(*ws_, "Zwe"), std::nullopt);  // whole title
}

TEST_F(X11Sources, TitleLookupSkipsSmallMinimisedAndUnmappedWindows) {
    const Window fits = desk_.create(WindowSpec().size(101, 101).title("Ziel"));
    const Window narrow = desk_.create(WindowSpec().size(100, 500).title("Ziel"));
    const Window low = desk_.create(WindowSpec().size(500, 100).title("Ziel"));
    const Window iconic = desk_.create(WindowSpec().title("Ziel"));
    desk_.setWmState(iconic, IconicState);
    const Window unmapped = desk_.create(WindowSpec().title("Ziel"));
    desk_.unmap(unmapped);
    desk_.setStacking(std::vector<Window>{fits, narrow, low, iconic, unmapped});
    EXPECT_EQ(findWindowByTitle(*ws_, "Ziel"), WindowId{fits});
    desk_.setStacking(std::vector<Window>{narrow, low, iconic, unmapped});
    EXPECT_EQ(findWindowByTitle(*ws_, "Ziel"), std::nullopt);
}

TEST_F(X11Sources, WindowThatVanishedMeanwhileIsGoneNotAnError) {
    const Window a = desk_.create(WindowSpec().title("Weg"));
    const Window b = desk_.create(WindowSpec().title("Weg"));
    desk_.setStacking(std::vector<Window>{a, b});
    desk_.setActive(fullScreen(game_.pid()));
    const auto listed = ws_->topLevelWindows();
    ASSERT_EQ(listed.front(), WindowId{b});
    desk_.destroy(b); // between listing and describing
    EXPECT_FALSE(ws_->describe(b).exists);
    EXPECT_EQ(findWindowByTitle(*ws_, "Weg"), WindowId{a}); // the list still names b

    // The window manager has not yet caught up with a closed active window.
    const Window closed = fullScreen(game_.pid());
    desk_.setActive(closed);
    desk_.destroy(closed);
    EXPECT_EQ(game(), std::nullopt);
    // The connection still answers.
    EXPECT_EQ(ws_->describe(a).title, "Weg");
}

TEST_F(X11Sources, MonitorOfTheTestDisplay) {
    const auto monitors = ws_->monitors();
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_EQ(monitors[0].width, 1920u);
    EXPECT_EQ(monitors[0].height, 1080u);
    EXPECT_EQ(ws_->primaryMonitor().name, monitors[0].name);
    EXPECT_EQ(monitorByIndex(*ws_, 3).name, monitors[0].name);
    EXPECT_EQ(ws_->monitorNearest({5000, 5000, 5100, 5100}).name, monitors[0].name);
}

} // namespace
} // namespace krel
