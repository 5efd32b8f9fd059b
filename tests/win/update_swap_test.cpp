// The update's two-rename swap on Windows, with a real copied executable
// that runs while it is swapped out.
#include "app/update.h"
#include "config/known_folders.h"
#include "scoped_env.h"
#include "temp_dir.h"
#include "windows_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace krel::test {
namespace {

namespace fs = std::filesystem;

fs::path withSuffix(fs::path p, const char* suffix) { return p += suffix; }

TEST(WindowsUpdate, SwapsARunningExecutableAndDeletesTheOldOneAtTheNextStart) {
    TempDir dir;
    const fs::path folder = dir / L"Programme – Größe € 日本";
    fs::create_directories(folder);
    const fs::path exe = folder / "KREL Play.exe";
    fs::copy_file(hostPath(KREL_WAITING_PROGRAM), exe);
    const auto running = readBytes(exe);
    const auto update = readBytes(hostPath(KREL_PLAY_EXE));
    ASSERT_GE(update.size(), kMinUpdateSize);
    const std::string digest = sha256Hex(update);

    ChildProcess program(exe, L"");
    std::string error;

    // Something holds the executable without sharing delete access: it
    // cannot move aside, and nothing else changes.
    HANDLE held = CreateFileW(exe.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(applyUpdate(update, digest, error, exe));
    EXPECT_EQ(error, "Laufende Version konnte nicht ersetzt werden");
    CloseHandle(held);
    EXPECT_EQ(readBytes(exe), running);
    EXPECT_FALSE(fs::exists(withSuffix(exe, ".new")));
    EXPECT_FALSE(fs::exists(withSuffix(exe, ".old")));

    // The running image moves to ".old", the new executable takes its name.
    ASSERT_TRUE(applyUpdate(update, digest, error, exe)) << error;
    EXPECT_EQ(readBytes(exe), update);
    EXPECT_EQ(readBytes(withSuffix(exe, ".old")), running);
    EXPECT_FALSE(fs::exists(withSuffix(exe, ".new")));

    // The old file is the running image: it cannot go yet.
    cleanupUpdateFiles(exe);
    EXPECT_TRUE(fs::exists(withSuffix(exe, ".old")));
    program.closeInput();
    EXPECT_EQ(program.wait(), 0u);

    // The next start of the new program deletes it. That start uses the
    // data folder under the user's local application data.
    const fs::path log = userDataBaseFolder() / "KREL Play" / "krel-play.log";
    const auto before = fs::exists(log) ? fs::file_size(log) : 0;
    {
        ScopedEnv unset("KREL_PLAY_DATA_DIR", std::nullopt);
        ChildProcess updated(exe, L"");
        EXPECT_EQ(updated.wait(), 0u);
    }
    EXPECT_FALSE(fs::exists(withSuffix(exe, ".old")));
    const auto bytes = readBytes(log);
    ASSERT_GT(bytes.size(), before);
    const std::string added(bytes.begin() + static_cast<std::ptrdiff_t>(before), bytes.end());
    EXPECT_NE(added.find(" KREL Play 0.1.7 startet\n"), std::string::npos) << added;
    EXPECT_NE(added.find(" KREL Play beendet\n"), std::string::npos) << added;

    // And it runs with nothing but the system beside it.
    ChildProcess version(exe, L"--version");
    EXPECT_EQ(version.readAllOutput(), "0.1.7\r\n"); // standard output in text mode
    EXPECT_EQ(version.wait(), 0u);
}

} // namespace
} // namespace krel::test
