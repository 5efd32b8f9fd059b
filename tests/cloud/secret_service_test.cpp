// The user key in a real Secret Service keyring: gnome-keyring-daemon on a
// private session bus, unlocked without a prompt, read back with secret-tool.
#include "cloud/account_platform.h"
#include "cloud/linux/user_key.h"
#include "cloud/crypto.h"
#include "cloud/linux/secret_service.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace krel {
namespace {

struct Spawned {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
};

Spawned spawnPiped(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    Spawned s;
    if (posix_spawn(&s.pid, args[0], &actions, nullptr, args.data(), environ) != 0) s.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    s.in = in[1];
    s.out = out[0];
    return s;
}

std::string readUntilEnd(int fd, bool lineOnly) {
    std::string text;
    char c;
    while (read(fd, &c, 1) == 1) {
        if (lineOnly && c == '\n') break;
        text.push_back(c);
    }
    return text;
}

// Restores the variables this test changes.
class SavedEnv {
public:
    SavedEnv() {
        for (const char* name : kNames)
            if (const char* v = getenv(name)) saved_.emplace_back(name, v);
    }
    ~SavedEnv() {
        for (const char* name : kNames)
            unsetenv(name);
        for (const auto& [name, value] : saved_)
            setenv(name.c_str(), value.c_str(), 1);
    }

private:
    static constexpr const char* kNames[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR",
                                             "DBUS_SESSION_BUS_ADDRESS"};
    std::vector<std::pair<std::string, std::string>> saved_;
};

void stop(Spawned& s) {
    if (s.in >= 0) close(s.in);
    if (s.out >= 0) close(s.out);
    if (s.pid > 0) {
        kill(s.pid, SIGTERM);
        waitpid(s.pid, nullptr, 0);
    }
}

TEST(SecretService, KeyLivesInTheRunningKeyring) {
    for (const char* tool : {"/usr/bin/dbus-daemon", "/usr/bin/gnome-keyring-daemon", "/usr/bin/secret-tool"})
        if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
    const SavedEnv saved;
    test::TempDir home;
    std::filesystem::create_directories(home / "rt");
    std::filesystem::permissions(home / "rt", std::filesystem::perms::owner_all);
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home / "rt").c_str(), 1);

    // No bus yet: nothing answers, and the key file serves.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_FALSE(secretServiceRunning());

    Spawned bus = spawnPiped({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"});
    ASSERT_GT(bus.pid, 0);
    const std::string address = readUntilEnd(bus.out, true);
    ASSERT_FALSE(address.empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    EXPECT_FALSE(secretServiceRunning()); // a bus without a keyring

    // --unlock reads the password of the login keyring (made on first use)
    // from standard input: no prompt.
    Spawned keyring =
        spawnPiped({"/usr/bin/gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"});
    ASSERT_GT(keyring.pid, 0);
    ASSERT_EQ(write(keyring.in, "krel-test", 9), 9);
    close(keyring.in);
    keyring.in = -1;
    bool running = false;
    for (int i = 0; i < 400 && !running; ++i) {
        running = secretServiceRunning();
        if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(running) << "gnome-keyring-daemon did not take the Secret Service name";

    const auto key = userSecretKey();
    ASSERT_TRUE(key);
    EXPECT_EQ(userSecretKey(), key);
    EXPECT_FALSE(std::filesystem::exists(home / "config" / "krel-play" / "user.key"));
    Spawned tool = spawnPiped({"/usr/bin/secret-tool", "lookup", "purpose", "account"});
    close(tool.in);
    tool.in = -1;
    EXPECT_EQ(readUntilEnd(tool.out, false), hexLower(*key));
    stop(tool);

    stop(keyring);
    stop(bus);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    // Without the keyring the key file takes over (a new key: what was
    // sealed under the keyring's key then reads as signed out).
    const auto fileKey = userSecretKey();
    ASSERT_TRUE(fileKey);
    EXPECT_TRUE(std::filesystem::exists(home / "config" / "krel-play" / "user.key"));
}

} // namespace
} // namespace krel
