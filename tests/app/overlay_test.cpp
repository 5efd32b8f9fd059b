// The overlay in the real program (the tests' build, which can read the
// page through its web view): opened by Alt+Z on the monitor under the
// pointer (this display has one), its page talking to the program, a clip
// played and sought through the clip server, and closed by Escape with its
// web process.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// Xlib's macros after GoogleTest's headers, which use the same names.
#include "desktop_program.h"
#include "temp_dir.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <csignal>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using krel::test::DesktopProgram;
using krel::test::count;
using krel::test::evalInPage;
using krel::test::readText;
using krel::test::TestDisplay;
using krel::test::waitFor;

// The overlay's top-level window ("KREL Play", mapped) and its place.
struct Placed {
    Window window = 0;
    int x = 0, y = 0, width = 0, height = 0;
};
std::optional<Placed> overlayWindow(Display* dpy) {
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    std::optional<Placed> found;
    if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count)) return found;
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        char* name = nullptr;
        if (XGetWindowAttributes(dpy, children[i], &attributes) && attributes.map_state == IsViewable &&
            !attributes.override_redirect && XFetchName(dpy, children[i], &name) && name) {
            if (std::string(name) == "KREL Play")
                found = Placed{children[i], attributes.x, attributes.y, attributes.width, attributes.height};
            XFree(name);
        }
    }
    if (children) XFree(children);
    return found;
}

void makeClip(const fs::path& file) {
    const std::string command = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=30 -f lavfi -i "
                                "sine=frequency=440 -t 4 -c:v libx264 -pix_fmt yuv420p -c:a aac '" +
                                file.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
}

TEST(Overlay, OpensOnPointerMonitorServesClipsAndClosesWithItsProcess) {
    krel::test::TempDir data;
    std::ofstream(data / "settings.json") << R"({"replayEnabled":false,"micEnabled":false,"autoUpdate":false})";
    fs::create_directories(data / "Clips");
    makeClip(data / "Clips" / "Runde 1.mp4");
    fs::rename(data / "Clips" / "Runde 1.mp4", data / "Clips" / "%2e%2e #1.mp4");

    TestDisplay display;
    const int width = DisplayWidth(display.get(), 0);
    const fs::path probe = data / "probe.sock";
    DesktopProgram program(KREL_PLAY_PROBE_EXECUTABLE, data.path(), {}, {"KREL_PLAY_TEST_PROBE=" + probe.string()});
    const fs::path log = data / "krel-play.log";
    ASSERT_TRUE(waitFor([&] {
        const auto toast = display.toast();
        return toast && toast->text == "KREL Play läuft – Alt+Z öffnet das Overlay";
    })) << readText(log);

    display.tapKey(XK_z, true);
    ASSERT_TRUE(waitFor([&] { return readText(log).find("Overlay: sichtbar") != std::string::npos; }))
        << readText(log);
    ASSERT_LT(readText(log).find("Overlay: wird geöffnet"), readText(log).find("Overlay: sichtbar"));
    ASSERT_TRUE(waitFor([&] {
        const auto placed = overlayWindow(display.get());
        return placed && placed->x == 0 && placed->width == width;
    })) << readText(log) << readText(data / "stdout.txt");
    EXPECT_EQ(krel::test::webProcesses(program.pid()).size(), 1u);

    auto page = [&](const std::string& body) { return evalInPage(probe, body).value_or("unreachable"); };
    // A state message has reached the page, and the page shows it.
    EXPECT_TRUE(waitFor([&] { return page("return document.body.innerText.includes('Videobeweis ist aus')") == "true"; }))
        << page("return document.body.innerText") << readText(data / "stdout.txt");

    // The page's own request for the clips, answered with the clip
    // server's address.
    const std::string base = page(R"(
        return await new Promise(ok => {
            const pass = window.krelReceive;
            window.krelReceive = text => {
                const m = JSON.parse(text);
                if (m.id !== 99999) return pass(text);
                window.krelReceive = pass;
                ok(m.result.base);
            };
            window.webkit.messageHandlers.krel.postMessage(JSON.stringify({id: 99999, cmd: 'listClips'}));
        });)");
    ASSERT_EQ(base.rfind("\"http://127.0.0.1:", 0), 0u) << base;

    // A real player through it: the duration is read and seeking works,
    // for a name that looks like an escape.
    const std::string played = page(R"(
        const v = document.createElement('video');
        v.muted = true; v.src = )" + base + R"( + encodeURIComponent('%2e%2e #1.mp4');
        document.body.appendChild(v);
        await new Promise((ok, fail) => {
            v.onloadedmetadata = ok;
            v.onerror = () => fail(new Error('load ' + (v.error && v.error.code)));
        });
        v.currentTime = 3;
        await new Promise(ok => { v.onseeked = ok; });
        const result = [v.duration, v.currentTime]; v.remove(); return result;)");
    const auto player = nlohmann::json::parse(played);
    ASSERT_TRUE(player.is_array()) << played << readText(data / "stdout.txt");
    EXPECT_NEAR(player[0].get<double>(), 4.0, 0.1);
    EXPECT_NEAR(player[1].get<double>(), 3.0, 0.1);

    // The gallery's own thumbnail: decoded at 1 s, kept as a picture, with
    // the clip's length.
    page("[...document.querySelectorAll('button')].find(b => b.textContent.trim() === 'Clips').click()");
    EXPECT_TRUE(waitFor([&] {
        return page("const t = document.querySelector('#clipList .thumb.ready');"
                    "return !!t && !!t.querySelector('canvas') && t.querySelector('.duration').textContent") ==
               "\"0:04\"";
    })) << page("return document.querySelector('#clipList').outerHTML");

    // A flood of requests: all answered, in order, and the host stays
    // responsive.
    EXPECT_EQ(page(R"(
        return await new Promise(ok => {
            const pass = window.krelReceive;
            let answered = 0, inOrder = true;
            window.krelReceive = text => {
                const m = JSON.parse(text);
                if (!(m.id >= 200000)) return pass(text);
                inOrder = inOrder && m.id === 200000 + answered;
                if (++answered === 10000) { window.krelReceive = pass; ok(inOrder); }
            };
            for (let i = 0; i < 10000; i++)
                window.webkit.messageHandlers.krel.postMessage(JSON.stringify({id: 200000 + i, cmd: 'appInfo'}));
        });)"),
              "true");

    // Host-to-page texts arrive unchanged, whatever they hold: a folder name
    // with quotes, backslashes, line separators and a closing script tag
    // through the settings and back.
    const std::string odd = (data / "a\"b\\c\u2028d\u2029</script>e").string();
    const std::string roundTrip = page(R"(
        const ask = (id, request) => new Promise(ok => {
            const pass = window.krelReceive;
            window.krelReceive = text => {
                const m = JSON.parse(text);
                if (m.id !== id) return pass(text);
                window.krelReceive = pass;
                ok(m.result);
            };
            window.webkit.messageHandlers.krel.postMessage(JSON.stringify(Object.assign({id}, request)));
        });
        await ask(300001, {cmd: 'setSettings', settings: {clipDir: )" + nlohmann::json(odd).dump() + R"(}});
        const back = (await ask(300002, {cmd: 'init'})).settings.clipDir;
        await ask(300003, {cmd: 'setSettings', settings: {clipDir: ''}});
        return back;)");
    EXPECT_EQ(nlohmann::json::parse(roundTrip), odd);

    // Leaving the page is refused, pop-ups open nothing.
    EXPECT_EQ(page("window.open('https://example.org/'); location.href = 'https://example.org/';"
                   "await new Promise(ok => setTimeout(ok, 500)); return location.href;"),
              "\"krel-page://app/overlay.html\"");

    // Escape: slide out, window and web process gone.
    display.tapKey(XK_Escape);
    ASSERT_TRUE(waitFor([&] { return readText(log).find("Overlay: geschlossen") != std::string::npos; }))
        << readText(log);
    EXPECT_TRUE(waitFor([&] { return !overlayWindow(display.get()); }));
    EXPECT_TRUE(waitFor([&] { return krel::test::webProcesses(program.pid()).empty(); }, 10s));
    EXPECT_EQ(page("return 1"), "null");

    // The hotkey hammered: the overlay ends up open or closed, never twice,
    // and the program carries on.
    for (int i = 0; i < 10; ++i) display.tapKey(XK_z, true);
    std::this_thread::sleep_for(3s);
    const std::string text = readText(log);
    const auto opened = count(text, "Overlay: wird geöffnet"), closed = count(text, "Overlay: geschlossen");
    EXPECT_TRUE(opened == closed || opened == closed + 1) << text;

    // A web process that dies takes the overlay down; the next Alt+Z opens
    // a fresh one.
    if (opened == closed) display.tapKey(XK_z, true);
    ASSERT_TRUE(waitFor([&] { return krel::test::webProcesses(program.pid()).size() == 1; }));
    std::this_thread::sleep_for(1s);
    ::kill(krel::test::webProcesses(program.pid()).front(), SIGKILL);
    ASSERT_TRUE(waitFor([&] {
        return readText(log).find("Overlay: beendet (Web-Prozess abgestürzt)") != std::string::npos &&
               count(readText(log), "Overlay: geschlossen") == count(readText(log), "Overlay: wird geöffnet");
    })) << readText(log);
    const size_t shown = count(readText(log), "Overlay: sichtbar");
    display.tapKey(XK_z, true);
    EXPECT_TRUE(waitFor([&] { return count(readText(log), "Overlay: sichtbar") == shown + 1; })) << readText(log);

    // Another program's window takes the keyboard: the overlay slides out.
    std::this_thread::sleep_for(1500ms); // slid in and focused
    const size_t closedBefore = count(readText(log), "Overlay: geschlossen");
    Display* dpy = display.get();
    const Window other = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 100, 100, 0, 0, 0);
    XMapRaised(dpy, other);
    XSync(dpy, False);
    std::this_thread::sleep_for(200ms);
    XSetInputFocus(dpy, other, RevertToParent, CurrentTime);
    XSync(dpy, False);
    EXPECT_TRUE(waitFor([&] { return count(readText(log), "Overlay: geschlossen") == closedBefore + 1; }))
        << readText(log);
    XDestroyWindow(dpy, other);
    XSync(dpy, False);

    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(), 0) << readText(data / "stdout.txt");
}

} // namespace
