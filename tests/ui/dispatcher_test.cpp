// The overlay's commands through `handle`, as the page sends them: a clip
// folder of real MP4 files written by the program's own clip writer, the
// desktop's default handlers observed through a handler registered in a
// private XDG data folder, and the account and cloud commands answered later
// through the local service; the clip server read like a player reads it.

#include "core/clip_writer.h"
#include "local_service.h"
#include "temp_dir.h"
#include "test_media.h"
#include "ui/dispatcher/dispatcher.h"
#include "ui/main_loop.h"
#include "ui/main_window.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <glib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace krel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string readText(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Fetched {
    long status = 0;
    std::string contentRange;
    std::string body;
};

// One GET through libcurl, as a player would send it.
Fetched fetch(const std::string& url, const std::string& range = "", const std::string& header = "") {
    Fetched got;
    CURL* curl = curl_easy_init();
    curl_slist* headers = header.empty() ? nullptr : curl_slist_append(nullptr, header.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (!range.empty()) curl_easy_setopt(curl, CURLOPT_RANGE, range.substr(6).c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &got.body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t, size_t n, void* body) {
        static_cast<std::string*>(body)->append(data, n);
        return n;
    });
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &got.contentRange);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, +[](char* data, size_t, size_t n, void* out) {
        const std::string line(data, n);
        if (line.rfind("Content-Range: ", 0) == 0)
            *static_cast<std::string*>(out) = line.substr(15, line.find_last_not_of("\r\n") - 14);
        return n;
    });
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &got.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return got;
}

class Dispatcher : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        service_ = new test::LocalService();
        root_ = new test::TempDir();
        const fs::path apps = *root_ / "data" / "applications";
        fs::create_directories(apps);
        setenv("XDG_DATA_HOME", (*root_ / "data").c_str(), 1);
        // Every address or folder the desktop is asked to open lands in
        // opened.txt, through a handler like any the user might install.
        const fs::path opener = *root_ / "opener.sh";
        std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << (*root_ / "opened.txt").string() << "'\n";
        fs::permissions(opener, fs::perms::owner_all);
        std::ofstream(apps / "krel-test-opener.desktop")
            << "[Desktop Entry]\nType=Application\nName=Opener\nExec=" << opener.string()
            << " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;inode/directory;text/plain;\n";
        const std::string defaults = "[Default Applications]\nx-scheme-handler/http=krel-test-opener.desktop\n"
                                     "x-scheme-handler/https=krel-test-opener.desktop\n"
                                     "inode/directory=krel-test-opener.desktop\ntext/plain=krel-test-opener.desktop\n";
        std::ofstream(apps / "mimeapps.list") << defaults;
        fs::create_directories(std::getenv("XDG_CONFIG_HOME"));
        std::ofstream(fs::path(std::getenv("XDG_CONFIG_HOME")) / "mimeapps.list") << defaults;
        ASSERT_TRUE(initMainLoop());
    }

    // The service must end with the suite: a process left running would
    // hold the test runner's output open.
    static void TearDownTestSuite() {
        delete service_;
        service_ = nullptr;
        delete root_;
        root_ = nullptr;
    }

    void SetUp() override {
        settings_.clipDir = (clips_ / "").string();
        settings_.clipDir.pop_back();
        window_ = std::make_unique<MainWindow>(settings_, nullptr);
        window_->createOverlayAndTray(handle);
        window_->setPageObserver([this](const std::string& text) { page_.push_back(json::parse(text)); });
    }

    json call(const json& request) {
        const std::string reply = handle(request.dump());
        return reply.empty() ? json() : json::parse(reply);
    }
    json result(const json& request) { return call(request)["result"]; }

    // Runs the main loop until a page message satisfies `pred`.
    json waitForPage(const std::function<bool(const json&)>& pred) {
        for (int i = 0; i < 2000; ++i) {
            for (const auto& m : page_)
                if (pred(m)) return m;
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(5000);
        }
        return {};
    }

    std::string opened() {
        for (int i = 0; i < 40; ++i) {
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(25000);
        }
        return readText(*root_ / "opened.txt");
    }

    void writeClip(const std::string& name) {
        static const auto media = test::encodeTestMedia({.width = 160, .height = 120, .seconds = 1.0});
        writeReplayClip(clips_ / name, test::interleaved(media), media.video, media.audio);
    }

    static inline test::LocalService* service_ = nullptr;
    static inline test::TempDir* root_ = nullptr;
    test::TempDir clips_;
    Settings settings_;
    std::unique_ptr<MainWindow> window_;
    std::vector<json> page_;
};

TEST_F(Dispatcher, EnvelopeAndArgumentTypes) {
    EXPECT_EQ(handle("not json"), "");
    EXPECT_EQ(handle("[1,2]"), "");
    EXPECT_EQ(call({{"cmd", "appInfo"}}), (json{{"id", 0}, {"result", {{"version", "0.1.7"}}}}));
    EXPECT_EQ(call({{"id", 7}, {"cmd", "frobnicate"}}), (json{{"id", 7}, {"result", {{"error", "Unbekannter Befehl"}}}}));
    EXPECT_EQ(result({{"id", 8}, {"cmd", "renameClip"}, {"file", 5}, {"name", "x"}}),
              (json{{"error", "Ungültige Anfrage"}}));
    EXPECT_EQ(result({{"id", 9}, {"cmd", "setSettings"}, {"settings", "fps"}}), (json{{"error", "Ungültige Anfrage"}}));
    EXPECT_EQ(result({{"id", 10}, {"cmd", "favorite"}, {"file", "a.mp4"}, {"on", "yes"}}),
              (json{{"error", "Ungültige Anfrage"}}));
}

TEST_F(Dispatcher, ClipFolderCommandsStayInsideTheFolder) {
    writeClip("Doom 2026-03-01 20-15-00.mp4");
    writeClip("Intro.MP4");
    std::ofstream(clips_ / "Doom 2026-03-01 20-16-00.mp4.part") << "half";
    std::ofstream(clips_ / "notes.txt") << "text";
    fs::create_directories(clips_ / "sub");
    std::ofstream(clips_.path().parent_path() / "outside.mp4") << "x";
    fs::create_symlink(clips_.path().parent_path() / "outside.mp4", clips_ / "link.mp4");

    json list = result({{"id", 1}, {"cmd", "listClips"}});
    ASSERT_EQ(list["clips"].size(), 2u) << list.dump();

    // The player's view of the folder: byte ranges of the listed clips; the
    // part file, other files, links, names leaving the folder and foreign
    // host names get nothing.
    const std::string base = list["base"];
    ASSERT_EQ(base.rfind("http://127.0.0.1:", 0), 0u) << base;
    const auto size = fs::file_size(clips_ / "Intro.MP4");
    const std::string whole = readText(clips_ / "Intro.MP4");
    Fetched got = fetch(base + "Intro.MP4", "bytes=4-11");
    EXPECT_EQ(got.status, 206);
    EXPECT_EQ(got.contentRange, "bytes 4-11/" + std::to_string(size));
    EXPECT_EQ(got.body, whole.substr(4, 8));
    got = fetch(base + "Intro.MP4", "bytes=-3");
    EXPECT_EQ(got.body, whole.substr(size - 3));
    got = fetch(base + "Intro.MP4", "bytes=1-2,5-6"); // more than one: the whole file
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, whole);
    EXPECT_EQ(fetch(base + "Intro.MP4", "bytes=" + std::to_string(size) + "-").status, 416);
    EXPECT_EQ(fetch(base + "Intro.MP4", "bytes=9-4").status, 200); // malformed: ignored
    EXPECT_EQ(fetch(base + "Doom%202026-03-01%2020-15-00.mp4", "bytes=0-0").status, 206);
    fs::copy_file(clips_ / "Intro.MP4", clips_ / "%2e%2e #1.mp4"); // decoded exactly once
    EXPECT_EQ(fetch(base + "%252e%252e%20%231.mp4", "bytes=0-0").status, 206);
    fs::remove(clips_ / "%2e%2e #1.mp4");
    for (const char* refused : {"link.mp4", "Doom%202026-03-01%2020-16-00.mp4.part", "notes.txt", "..%2Foutside.mp4",
                                "%2e%2e%2Foutside.mp4", "sub", "fehlt.mp4"})
        EXPECT_GE(fetch(base + refused).status, 400) << refused; // libsoup itself refuses some
    std::string wrongKey = base;
    wrongKey[wrongKey.size() - 2] = wrongKey[wrongKey.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(fetch(wrongKey + "Intro.MP4").status, 404);
    EXPECT_EQ(fetch(base + "Intro.MP4", "", "Host: localhost").status, 404);
    uint64_t bytes = 0;
    for (const auto* name : {"Doom 2026-03-01 20-15-00.mp4", "Intro.MP4", "Doom 2026-03-01 20-16-00.mp4.part",
                             "notes.txt"})
        bytes += fs::file_size(clips_ / name);
    EXPECT_EQ(list["bytes"].get<uint64_t>(), bytes);
    for (const auto& c : list["clips"])
        EXPECT_EQ(c["game"], c["file"] == "Intro.MP4" ? "" : "Doom") << c.dump();

    // Names: 115 characters and ".mp4" fit, 116 do not; taken and hostile
    // names are refused with the library's words.
    const std::string longest(115, 'a');
    EXPECT_EQ(result({{"cmd", "renameClip"}, {"file", "Intro.MP4"}, {"name", longest}}), (json{{"ok", true}}));
    EXPECT_TRUE(fs::exists(clips_ / (longest + ".mp4")));
    EXPECT_EQ(result({{"cmd", "renameClip"}, {"file", longest + ".mp4"}, {"name", std::string(116, 'b')}}),
              (json{{"error", "Ungültiger Name"}}));
    EXPECT_EQ(result({{"cmd", "renameClip"}, {"file", longest + ".mp4"}, {"name", "Doom 2026-03-01 20-15-00"}}),
              (json{{"error", "Name ist schon vergeben"}}));
    for (const char* hostile : {"../escaped", "a/b", "c:\\d", "x\ny"})
        EXPECT_EQ(result({{"cmd", "renameClip"}, {"file", longest + ".mp4"}, {"name", hostile}}),
                  (json{{"error", "Ungültiger Name"}}))
            << hostile;
    EXPECT_EQ(result({{"cmd", "renameClip"}, {"file", "../outside.mp4"}, {"name", "in"}}),
              (json{{"error", "Ungültiger Name"}}));

    // A favourite follows its rename and leaves with the delete, which puts
    // the file into the desktop's trash.
    result({{"cmd", "favorite"}, {"file", longest + ".mp4"}, {"on", true}});
    result({{"cmd", "renameClip"}, {"file", longest + ".mp4"}, {"name", "Best"}});
    list = result({{"cmd", "listClips"}});
    bool favorite = false;
    for (const auto& c : list["clips"]) favorite = favorite || (c["file"] == "Best.mp4" && c["favorite"] == true);
    EXPECT_TRUE(favorite) << list.dump();
    EXPECT_EQ(result({{"cmd", "deleteClip"}, {"file", "Best.mp4"}}), (json{{"ok", true}}));
    EXPECT_FALSE(fs::exists(clips_ / "Best.mp4"));
    const fs::path trash = *root_ / "data" / "Trash";
    EXPECT_TRUE(fs::exists(trash / "files" / "Best.mp4"));
    EXPECT_TRUE(fs::exists(trash / "info" / "Best.mp4.trashinfo"));
    EXPECT_EQ(readText(clips_ / ".krel-favoriten"), "");
    result({{"cmd", "deleteClip"}, {"file", "../outside.mp4"}});
    result({{"cmd", "deleteClip"}, {"file", "link.mp4/.."}});
    EXPECT_TRUE(fs::exists(clips_.path().parent_path() / "outside.mp4"));
    fs::remove(clips_.path().parent_path() / "outside.mp4");
}

TEST_F(Dispatcher, DesktopHandlersOpenOnlyWhatIsAllowed) {
    writeClip("Quake 2026-03-02 10-00-00.mp4");
    fs::remove(*root_ / "opened.txt");
    const std::string site = websiteBaseUrl();
    for (const std::string& url : {std::string("https://example.org/"), std::string("file:///etc/passwd"),
                                  std::string("javascript:alert(1)"), site.substr(0, site.size() - 1) + ".evil.org/",
                                  site + "a b"})
        EXPECT_EQ(result({{"cmd", "openUrl"}, {"url", url}}), (json{{"ok", true}})) << url;
    for (const char* file : {"..\\x", "C:x", "../x", "/etc/passwd"})
        EXPECT_EQ(result({{"cmd", "showInExplorer"}, {"file", file}}), (json{{"ok", true}}));
    EXPECT_EQ(opened(), "");

    result({{"cmd", "openUrl"}, {"url", site + "app#registrieren"}});
    EXPECT_EQ(opened(), site + "app#registrieren\n");
    // No file manager on the bus: the folder itself is opened.
    result({{"cmd", "showInExplorer"}, {"file", "Quake 2026-03-02 10-00-00.mp4"}});
    const std::string text = opened();
    EXPECT_NE(text.find(clips_.path().string() + "\n"), std::string::npos) << text;
}

TEST_F(Dispatcher, SettingsInitAndUpdateNews) {
    // Another program holds F8: re-applying unchanged settings reports it.
    Display* dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    XGrabKey(dpy, XKeysymToKeycode(dpy, XK_F8), 0, DefaultRootWindow(dpy), True, GrabModeAsync, GrabModeAsync);
    XSync(dpy, False);
    EXPECT_EQ(result({{"cmd", "setSettings"}, {"settings", json::object()}}), (json{{"conflicts", {"F8"}}}));
    XCloseDisplay(dpy);
    EXPECT_EQ(result({{"cmd", "setSettings"}, {"settings", {{"fps", 30}, {"hkMic", {{"mods", 2}, {"vk", 46}}}}}}),
              (json{{"conflicts", json::array()}}));
    EXPECT_EQ(window_->settings().fps, 30u);
    EXPECT_EQ(result({{"cmd", "hotkeyNames"}})["hkMic"], "Strg+Entf");

    json init = result({{"id", 3}, {"cmd", "init"}});
    EXPECT_EQ(init["settings"]["fps"], 30);
    EXPECT_FALSE(init.contains("update"));

    // A newer release on the update server: the check answers the page and
    // the next "init" carries it.
    std::ofstream(service_->updateDir() / "latest.json")
        << json{{"version", "9.0.0"}, {"file", "krel-play-9"}, {"sha256", std::string(64, 'a')}}.dump();
    EXPECT_EQ(call({{"id", 4}, {"cmd", "checkUpdate"}}), json());
    const json reply = waitForPage([](const json& m) { return m.value("id", 0) == 4; });
    EXPECT_EQ(reply["result"], (json{{"version", "9.0.0"}})) << reply.dump();
    waitForPage([](const json& m) { return m.value("type", "") == "update"; });
    init = result({{"id", 5}, {"cmd", "init"}});
    EXPECT_EQ(init["update"], (json{{"type", "update"}, {"version", "9.0.0"}, {"checked", true}}));
}

TEST_F(Dispatcher, AccountAndCloudAnswerLater) {
    service_->addUser("ada@example.org", "geheim123");
    EXPECT_EQ(result({{"cmd", "account"}}), (json{{"signedIn", false}, {"email", ""}}));
    EXPECT_EQ(call({{"id", 11}, {"cmd", "signIn"}, {"email", "ada@example.org"}, {"password", "falsch"}}), json());
    json reply = waitForPage([](const json& m) { return m.value("id", 0) == 11; });
    EXPECT_TRUE(reply["result"].contains("error")) << reply.dump();
    call({{"id", 12}, {"cmd", "signIn"}, {"email", "ada@example.org"}, {"password", "geheim123"}});
    reply = waitForPage([](const json& m) { return m.value("id", 0) == 12; });
    EXPECT_EQ(reply["result"], (json{{"ok", true}})) << reply.dump();
    EXPECT_EQ(result({{"cmd", "account"}})["email"], "ada@example.org");

    writeClip("Doom 2026-03-03 09-00-00.mp4");
    EXPECT_EQ(result({{"cmd", "cloudUpload"}, {"file", "../x.mp4"}}), (json{{"error", "Ungültiger Clip"}}));
    call({{"id", 13}, {"cmd", "cloudUpload"}, {"file", "Doom 2026-03-03 09-00-00.mp4"}, {"game", "Doom"}});
    reply = waitForPage([](const json& m) { return m.value("id", 0) == 13; });
    EXPECT_FALSE(reply["result"].contains("error")) << reply.dump();
    EXPECT_EQ(waitForPage([](const json& m) { return m.value("type", "") == "upload" && m["pct"] == 100; })["file"],
              "Doom 2026-03-03 09-00-00.mp4");

    call({{"id", 14}, {"cmd", "cloudList"}});
    reply = waitForPage([](const json& m) { return m.value("id", 0) == 14; });
    EXPECT_FALSE(reply["result"].contains("error")) << reply.dump();
    call({{"id", 15}, {"cmd", "cloudLink"}, {"cid", "../../x?"}});
    reply = waitForPage([](const json& m) { return m.value("id", 0) == 15; });
    EXPECT_TRUE(reply["result"].contains("error")) << reply.dump();

    EXPECT_EQ(result({{"cmd", "signOut"}}), (json{{"ok", true}}));
    EXPECT_EQ(result({{"cmd", "account"}})["signedIn"], false);
}

} // namespace
} // namespace krel
