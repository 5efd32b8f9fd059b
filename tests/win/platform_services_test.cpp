// The Windows backend's settings, log, folders, environment, clock, thread
// names and module path, with a data folder whose path holds German and
// other non-ANSI text and runs past the classic 260-character limit.
#include "app/module_path.h"
#include "config/atomic_file.h"
#include "config/data_directory.h"
#include "config/environment.h"
#include "config/known_folders.h"
#include "config/log.h"
#include "config/settings.h"
#include "config/utf8_path.h"
#include "core/thread_name.h"
#include "scoped_env.h"
#include "temp_dir.h"
#include "windows_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <memory>
#include <thread>

namespace krel::test {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<TempDir>& root() {
    static std::unique_ptr<TempDir> dir;
    return dir;
}

fs::path expectedDataDir() {
    fs::path dir = root()->path() / L"Prüfung äöü ß € 日本";
    for (int i = 0; i < 14; ++i) dir /= L"Unterordner-Größe-" + std::to_wstring(i);
    return dir;
}

// The data folder of this process, decided before any test asks for it.
class LongGermanDataFolder : public ::testing::Environment {
public:
    void SetUp() override {
        root() = std::make_unique<TempDir>();
        ASSERT_GT(expectedDataDir().wstring().size(), 300u); // well past MAX_PATH (260)
        ScopedEnv::set("KREL_PLAY_DATA_DIR", utf8FromPath(expectedDataDir()));
    }
    void TearDown() override { root().reset(); }
};

[[maybe_unused]] const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LongGermanDataFolder);

std::string readText(const fs::path& file) {
    const auto bytes = readBytes(file);
    return {bytes.begin(), bytes.end()};
}

TEST(WindowsConfig, SettingsLogAndClipFolderKeepEveryCharacterOfALongPath) {
    EXPECT_EQ(environmentValue("KREL_PLAY_DATA_DIR"), utf8FromPath(expectedDataDir()));
    const fs::path data = dataDirectory();
    ASSERT_EQ(data, expectedDataDir());
    ASSERT_TRUE(fs::is_directory(data));

    Settings settings;
    settings.clipDir = utf8FromPath(root()->path() / L"Meine Clips – Größe € 日本");
    settings.replaySeconds = 90;
    saveSettings(settings);
    EXPECT_EQ(loadSettings(), settings);
    EXPECT_NE(readText(data / "settings.json").find("Meine Clips – Größe € 日本"), std::string::npos);
    EXPECT_FALSE(fs::exists(data / "settings.json.tmp"));
    EXPECT_EQ(clipDirectory(settings), root()->path() / L"Meine Clips – Größe € 日本");
    EXPECT_TRUE(fs::is_directory(root()->path() / L"Meine Clips – Größe € 日本"));

    // A log grown past 2 MiB moves to ".1" before the next line.
    const fs::path log = data / "krel-play.log";
    writeBytes(log, std::vector<uint8_t>(2 * 1024 * 1024 + 1, 'x'));
    logLine("Prüfung: Größe € 日本");
    const std::string text = readText(log);
    EXPECT_EQ(text.size(), 24 + std::string("Prüfung: Größe € 日本\n").size()) << text;
    EXPECT_TRUE(text.ends_with(" Prüfung: Größe € 日本\n")) << text;
    EXPECT_EQ(fs::file_size(data / "krel-play.log.1"), 2u * 1024 * 1024 + 1);
}

TEST(WindowsConfig, AFailedReplaceKeepsTheOldFileAndLeavesNoTemporary) {
    const fs::path file = dataDirectory() / "ersetzen.json";
    ASSERT_TRUE(replaceFileAtomically(file, "alt"));
    // Another process holds the file open without sharing delete access,
    // as a virus scanner or an editor may: the rename cannot replace it.
    HANDLE held = CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(replaceFileAtomically(file, "neu"));
    CloseHandle(held);
    EXPECT_EQ(readText(file), "alt");
    EXPECT_FALSE(fs::exists(fs::path(file) += ".tmp"));

    // A folder that cannot take files (here: a file stands at its name).
    EXPECT_FALSE(replaceFileAtomically(file / "settings.json", "neu"));
    EXPECT_TRUE(replaceFileAtomically(file, "neu"));
    EXPECT_EQ(readText(file), "neu");
}

TEST(WindowsPlatform, KnownFoldersEnvironmentThreadNamesAndModulePath) {
    wchar_t localAppData[1024] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"LOCALAPPDATA", localAppData, 1024), 0u);
    EXPECT_EQ(userDataBaseFolder(), fs::path(localAppData));
    EXPECT_TRUE(userVideosFolder().is_absolute());
    EXPECT_STREQ(dataFolderName(), "KREL Play");

    {
        ScopedEnv text("KREL_TEST_TEXT", "Grüße € 日本");
        EXPECT_EQ(environmentValue("KREL_TEST_TEXT"), "Grüße € 日本");
        ScopedEnv empty("KREL_TEST_TEXT", "");
        EXPECT_EQ(environmentValue("KREL_TEST_TEXT"), "");
    }
    EXPECT_EQ(environmentValue("KREL_TEST_TEXT"), std::nullopt);

    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_EQ(moduleFilePath(), fs::path(self));
    EXPECT_EQ(moduleFilePath().filename(), "krel_windows_tests.exe");

    using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const auto getDescription = reinterpret_cast<GetThreadDescriptionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (!getDescription) GTEST_SKIP() << "GetThreadDescription fehlt auf diesem System";
    std::wstring name;
    std::thread([&] {
        nameThisThread("Videobeweis-Pufferung");
        PWSTR text = nullptr;
        if (SUCCEEDED(getDescription(GetCurrentThread(), &text))) name = text;
        LocalFree(text);
    }).join();
    EXPECT_EQ(name, L"Videobeweis-Pufferung");
}

} // namespace
} // namespace krel::test
