// The X11 window system beyond single questions: the foreground watcher on
// the test display, several monitors and a server that goes away on private
// Xvfb servers.

#include "core/source_selection.h"

#include "config/data_directory.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) clash with gtest names.
#include "x11_desktop.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace krel {
namespace {

using test::ChildProcess;
using test::Desktop;
using test::WindowSpec;

// The log of a failing callback lands in a folder of the test's own.
class DataDirectoryEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ::setenv("KREL_PLAY_DATA_DIR", dir_.path().c_str(), 1); }

private:
    test::TempDir dir_;
};
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DataDirectoryEnvironment);

// Windows reported by a watcher, in order.
class Reports {
public:
    void add(WindowId w) {
        std::lock_guard lock(lock_);
        seen_.push_back(w);
        changed_.notify_all();
    }
    // The reports once there are `count` of them, or after `limit`; the
    // limit only keeps a lost report from hanging the test.
    std::vector<WindowId> waitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(lock_);
        changed_.wait_for(lock, limit, [&] { return seen_.size() >= count; });
        return seen_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<WindowId> seen_;
};

// The watcher reads the property when the event reaches it, so quick
// changes in a row may arrive as one; the tests wait for each report
// before the next change.
class X11Watch : public ::testing::Test {
protected:
    std::unique_ptr<WindowSystem> ws_ = createWindowSystem();
    Desktop desk_;
    ChildProcess one_{"/bin/sleep", {"30"}};
    ChildProcess two_{"/bin/sleep", {"30"}};
    Reports reports_;
};

TEST_F(X11Watch, ReportsEachNewForegroundWindowOfAnotherProgramOnce) {
    const Window before = desk_.create(WindowSpec().title("vorher").pid(one_.pid()));
    desk_.setActive(before);
    auto watch = ws_->watchForeground([this](WindowId w) { reports_.add(w); });
    const Window own = desk_.create(WindowSpec().title("eigenes").pid(::getpid()));
    const Window a = desk_.create(WindowSpec().title("a").pid(one_.pid()));
    const Window b = desk_.create(WindowSpec().title("b").pid(two_.pid()));

    // The window active when the watch began is no change.
    desk_.setActive(a);
    EXPECT_EQ(reports_.waitFor(1), (std::vector<WindowId>{a}));
    desk_.setActive(a); // rewritten with the same value
    desk_.setActive(b);
    EXPECT_EQ(reports_.waitFor(2), (std::vector<WindowId>{a, b}));
    desk_.setActiveNone(); // an empty desktop is not reported
    desk_.setActive(before);
    EXPECT_EQ(reports_.waitFor(3), (std::vector<WindowId>{a, b, before}));
    // This program's own window is never reported. Nothing to wait for but
    // a while: a report would come within it.
    desk_.setActive(own);
    EXPECT_EQ(reports_.waitFor(4, std::chrono::milliseconds(500)), (std::vector<WindowId>{a, b, before}));
    desk_.setActive(b);
    EXPECT_EQ(reports_.waitFor(4), (std::vector<WindowId>{a, b, before, b}));
}

TEST_F(X11Watch, ReportsAWindowThatIsGoneAgainWithoutFailing) {
    auto watch = ws_->watchForeground([this](WindowId w) { reports_.add(w); });
    const Window brief = desk_.create(WindowSpec().title("kurz").pid(one_.pid()));
    desk_.setActive(brief);
    desk_.destroy(brief); // before the watcher looks at its process
    EXPECT_EQ(reports_.waitFor(1), (std::vector<WindowId>{brief}));
    const Window after = desk_.create(WindowSpec().title("danach").pid(one_.pid()));
    desk_.setActive(after);
    EXPECT_EQ(reports_.waitFor(2), (std::vector<WindowId>{brief, after}));
}

TEST_F(X11Watch, FailingCallbackIsLoggedAndWatchingGoesOn) {
    auto watch = ws_->watchForeground([this](WindowId w) {
        reports_.add(w);
        throw std::runtime_error("Testfehler im Empfänger");
    });
    const Window a = desk_.create(WindowSpec().pid(one_.pid()));
    const Window b = desk_.create(WindowSpec().pid(two_.pid()));
    desk_.setActive(a);
    EXPECT_EQ(reports_.waitFor(1), (std::vector<WindowId>{a}));
    desk_.setActive(b);
    EXPECT_EQ(reports_.waitFor(2), (std::vector<WindowId>{a, b}));
    watch.reset();
    std::ifstream log(dataDirectory() / "krel-play.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Vordergrundwechsel: Testfehler im Empfänger"), std::string::npos) << text;
}

TEST_F(X11Watch, EndsWhenDestroyedIdleOrAmidChanges) {
    // Idle: the thread sleeps in poll and must be woken.
    ws_->watchForeground([this](WindowId w) { reports_.add(w); }).reset();

    const Window a = desk_.create(WindowSpec().pid(one_.pid()));
    const Window b = desk_.create(WindowSpec().pid(two_.pid()));
    auto watch = ws_->watchForeground([this](WindowId w) { reports_.add(w); });
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        Desktop other; // a connection of its own for this thread
        for (int i = 0; !done; ++i) other.setActive(i % 2 ? a : b);
    });
    reports_.waitFor(1);
    watch.reset(); // with changes still streaming in
    done = true;
    flipper.join();
}

// Two monitors on a private server: "LEFT" holds the server's one output,
// "RIGHT" has none but is flagged primary.
class TwoMonitors : public ::testing::Test {
protected:
    void SetUp() override {
        Display* d = desk_.display();
        const Window root = DefaultRootWindow(d);
        std::unique_ptr<XRRScreenResources, void (*)(XRRScreenResources*)> res(XRRGetScreenResources(d, root),
                                                                                XRRFreeScreenResources);
        ASSERT_TRUE(res && res->noutput >= 1);
        output_ = res->outputs[0];
        define("LEFT", 0, 960, output_, false);
        define("RIGHT", 960, 960, None, true);
        ws_ = createWindowSystem();
    }

    void define(const char* name, int x, int width, RROutput output, bool primary) {
        Display* d = desk_.display();
        std::unique_ptr<XRRMonitorInfo, platform::XFreeDeleter> m(XRRAllocateMonitor(d, output ? 1 : 0));
        m->name = XInternAtom(d, name, False);
        m->x = x;
        m->y = 0;
        m->width = width;
        m->height = 1080;
        m->mwidth = width / 4;
        m->mheight = 270;
        m->primary = primary;
        if (output) m->outputs[0] = output;
        XRRSetMonitor(d, DefaultRootWindow(d), m.get());
        XSync(d, False);
    }

    std::string nearest(ScreenRect r) { return ws_->monitorNearest(r).name; }

    test::PrivateDisplay server_{1920, 1080}; // first in, last out
    Desktop desk_;
    ChildProcess game_{"/bin/sleep", {"30"}};
    RROutput output_ = None;
    std::unique_ptr<WindowSystem> ws_;
};

TEST_F(TwoMonitors, ListedInServerOrderWithThePrimaryFromThePrimaryOutput) {
    const auto monitors = ws_->monitors();
    ASSERT_EQ(monitors.size(), 2u);
    std::set<std::string> names;
    for (uint32_t i = 0; i < monitors.size(); ++i) {
        EXPECT_EQ(monitors[i].index, i);
        EXPECT_EQ(monitorByIndex(*ws_, i).name, monitors[i].name);
        names.insert(monitors[i].name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"LEFT", "RIGHT"}));

    // No primary output: the monitor the server flags.
    EXPECT_EQ(ws_->primaryMonitor().name, "RIGHT");
    EXPECT_EQ(monitorByIndex(*ws_, 3).name, "RIGHT");

    // The primary output lies on LEFT, although RIGHT keeps its flag.
    XRRSetOutputPrimary(desk_.display(), DefaultRootWindow(desk_.display()), output_);
    XSync(desk_.display(), False);
    const MonitorInfo left = ws_->primaryMonitor();
    EXPECT_EQ(left.name, "LEFT");
    EXPECT_EQ(left.x, 0);
    EXPECT_EQ(left.width, 960u);
    EXPECT_EQ(monitorByIndex(*ws_, 3).name, "LEFT");
    int primaries = 0;
    for (const auto& m : ws_->monitors()) primaries += m.primary;
    EXPECT_EQ(primaries, 1);
}

TEST_F(TwoMonitors, NearestMonitorByOverlapThenDistance) {
    EXPECT_EQ(nearest({1000, 100, 1200, 300}), "RIGHT");
    EXPECT_EQ(nearest({800, 100, 1000, 300}), "LEFT");  // 160 columns left, 40 right
    EXPECT_EQ(nearest({900, 100, 1100, 300}), "RIGHT"); // 60 columns left, 140 right
    EXPECT_EQ(nearest({-300, 100, -100, 300}), "LEFT");
    EXPECT_EQ(nearest({1500, 1200, 1600, 1300}), "RIGHT");
    EXPECT_EQ(nearest({2500, -400, 2600, -300}), "RIGHT");
}

TEST_F(TwoMonitors, GameCoversItsOwnMonitor) {
    const Window right = desk_.create(WindowSpec().at(960, 0).size(960, 1080).pid(game_.pid()));
    desk_.setActive(right);
    EXPECT_EQ(detectGame(*ws_), WindowId{right});
    const Window both = desk_.create(WindowSpec().at(0, 0).size(1920, 1080).pid(game_.pid()));
    desk_.setActive(both);
    EXPECT_EQ(detectGame(*ws_), WindowId{both});
    const Window shortOne = desk_.create(WindowSpec().at(961, 0).size(959, 1080).pid(game_.pid()));
    desk_.setActive(shortOne);
    EXPECT_EQ(detectGame(*ws_), std::nullopt);
}

TEST(X11ServerGone, WindowSystemAndWatchCarryOnEmpty) {
    test::PrivateDisplay server(640, 480);
    ChildProcess game{"/bin/sleep", {"30"}};
    auto ws = createWindowSystem();
    std::unique_ptr<WindowSystem::Watch> watch;
    {
        Desktop desk;
        const Window w = desk.create(WindowSpec().size(640, 480).pid(game.pid()));
        desk.setActive(w);
        ASSERT_EQ(detectGame(*ws), WindowId{w});
        watch = ws->watchForeground([](WindowId) {});
    }
    server.stop();
    // The watch thread sees its connection break and ends; nothing here may
    // end the process.
    EXPECT_EQ(detectGame(*ws), std::nullopt);
    EXPECT_TRUE(ws->monitors().empty());
    EXPECT_TRUE(ws->topLevelWindows().empty());
    EXPECT_FALSE(ws->describe(1).exists);
    watch.reset();
}

} // namespace
} // namespace krel
