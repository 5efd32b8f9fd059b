// The update's two-rename swap on Windows, with a real copied executable
// that runs while it is swapped out.
#include "app/update.h"
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

    program.closeInput();
    EXPECT_EQ(program.wait(), 0u);
    cleanupUpdateFiles(exe);
    EXPECT_FALSE(fs::exists(withSuffix(exe, ".old")));

    // The swapped-in program starts, with nothing but the system beside it.
    ChildProcess updated(exe, L"--version");
    EXPECT_EQ(updated.readAllOutput(), "0.1.7\r\n"); // standard output in text mode
    EXPECT_EQ(updated.wait(), 0u);
}

} // namespace
} // namespace krel::test
