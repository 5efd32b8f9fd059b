// The log file: line format in local time, rotation at 2 MiB, concurrent
// writers. The process's data folder is the test data folder; each test
// starts without log files.

#include "config/log.h"
#include "config_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace krel::test {
namespace {

namespace fs = std::filesystem;

const std::regex kStamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");

class LogLine : public ::testing::Test {
protected:
    void SetUp() override { removeLogs(); }
    void TearDown() override { removeLogs(); }
    static void removeLogs() {
        std::error_code ec;
        fs::remove_all(log(), ec);
        fs::remove_all(older(), ec);
    }
    static fs::path log() { return testDataDirectory() / "krel-play.log"; }
    static fs::path older() { return testDataDirectory() / "krel-play.log.1"; }
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST_F(LogLine, FirstLineCreatesTheFileInLocalTime) {
    // A zone far from UTC with a half-hour offset shows whether local time
    // is used and the fields are assembled right.
    ScopedEnv tz("TZ", "IST-5:30");
    ::tzset();
    const std::time_t before = std::time(nullptr);
    logLine("Start");
    const std::time_t after = std::time(nullptr);

    const std::string text = readFile(log());
    std::smatch m;
    const std::regex format(R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) Start\n)");
    ASSERT_TRUE(std::regex_match(text, m, format)) << text;
    std::tm fields{};
    fields.tm_year = std::stoi(m[1]) - 1900;
    fields.tm_mon = std::stoi(m[2]) - 1;
    fields.tm_mday = std::stoi(m[3]);
    fields.tm_hour = std::stoi(m[4]);
    fields.tm_min = std::stoi(m[5]);
    fields.tm_sec = std::stoi(m[6]);
    fields.tm_isdst = 0;
    const std::time_t stamped = std::mktime(&fields); // read back in the same zone
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
    EXPECT_FALSE(fs::exists(older()));
}

TEST_F(LogLine, MessageIsWrittenAsIsWithOneLineFeedAdded) {
    logLine("Zeile eins\nZeile zwei – äöü");
    logLine("");
    const std::string text = readFile(log());
    const auto lines = splitLines(text);
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_TRUE(std::regex_match(lines[0].substr(0, 24), kStamp));
    EXPECT_EQ(lines[0].substr(24), "Zeile eins");
    EXPECT_EQ(lines[1], "Zeile zwei – äöü");
    EXPECT_EQ(lines[2].size(), 24u) << "an empty message leaves the stamp and its blank";
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(LogLine, RotatesOnlyAboveTwoMebibytes) {
    const std::string full(2 * 1024 * 1024, 'x');
    writeFile(log(), full);
    writeFile(older(), "alte Generation\n");
    logLine("noch hinein");
    EXPECT_TRUE(readFile(log()).starts_with(full)) << "exactly 2 MiB is not above the limit";
    EXPECT_EQ(readFile(older()), "alte Generation\n");

    const std::string grown = readFile(log());
    ASSERT_GT(grown.size(), full.size());
    logLine("neue Datei");
    EXPECT_EQ(readFile(older()), grown) << "the full log replaces the older generation";
    const auto lines = splitLines(readFile(log()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with(" neue Datei"));
}

TEST_F(LogLine, MissingLogKeepsTheOlderGeneration) {
    writeFile(older(), "vorher\n");
    logLine("danach");
    EXPECT_EQ(readFile(older()), "vorher\n");
    EXPECT_TRUE(readFile(log()).ends_with(" danach\n"));
}

TEST_F(LogLine, UnwritableLogLosesTheLineQuietly) {
    // A folder in place of both files: the rename and the open fail.
    fs::create_directories(log());
    fs::create_directories(older() / "inhalt");
    EXPECT_NO_THROW(logLine("verloren"));
    EXPECT_TRUE(fs::is_directory(log()));
}

TEST_F(LogLine, ConcurrentWritersKeepLinesWholeAndInOrder) {
    // Enough text for one rotation: nothing may be lost, since only a second
    // rotation would drop the older generation.
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    const std::string padding(700, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < kLines; ++i)
                logLine("T " + std::to_string(t) + " " + std::to_string(i) + " " + padding);
        });
    }
    for (auto& th : threads) th.join();

    ASSERT_TRUE(fs::exists(older())) << "the test must cross the rotation";
    std::map<int, int> next; // per thread, the next expected line number
    for (const auto& file : {older(), log()}) {
        for (const auto& line : splitLines(readFile(file))) {
            ASSERT_GT(line.size(), 24u);
            ASSERT_TRUE(std::regex_match(line.substr(0, 24), kStamp)) << line.substr(0, 80);
            std::istringstream rest(line.substr(24));
            std::string tag, tail, extra;
            int thread = -1, number = -1;
            rest >> tag >> thread >> number >> tail >> extra;
            ASSERT_EQ(tag, "T") << line.substr(0, 80);
            ASSERT_EQ(tail, padding) << line.substr(0, 80);
            ASSERT_TRUE(extra.empty()) << line.substr(0, 80);
            EXPECT_EQ(number, next[thread]) << "thread " << thread;
            next[thread] = number + 1;
        }
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "thread " << t;
}

// True while a process or thread waits for a lock on the file with this
// inode (a "->" line of /proc/locks).
bool someoneWaitsForLock(ino_t inode) {
    std::istringstream locks(readFile("/proc/locks"));
    const std::string tail = ":" + std::to_string(inode) + " ";
    for (std::string line; std::getline(locks, line);)
        if (line.find("->") != std::string::npos && line.find(tail) != std::string::npos) return true;
    return false;
}

TEST_F(LogLine, SecondProcessRotatingAtTheSameTimeLosesNoGeneration) {
    const std::string full(2 * 1024 * 1024 + 1, 'x');
    writeFile(log(), full);
    struct stat st {};
    ASSERT_EQ(stat(log().c_str(), &st), 0);

    // The other process locks the full log, then rotates it when told.
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    const std::string path = log().string(), olderPath = older().string();
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
        char c = 0;
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(ready[1], "r", 1) != 1 || ::read(go[0], &c, 1) != 1)
            _exit(1);
        ::rename(path.c_str(), olderPath.c_str());
        const int fresh = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        const bool written = fresh >= 0 && ::write(fresh, "andere\n", 7) == 7;
        _exit(written ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);

    // This process logs meanwhile; it has to wait for the lock. Once it
    // waits (or is done, should it not wait), the other one rotates.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        logLine("meine");
        done = true;
    });
    while (!done && !someoneWaitsForLock(st.st_ino))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(write(go[1], "g", 1), 1);
    writer.join();
    int status = 0;
    waitpid(other, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);

    // The full generation survives once, and both lines are in the new log.
    EXPECT_EQ(readFile(older()), full);
    const std::string current = readFile(log());
    EXPECT_TRUE(current.starts_with("andere\n")) << current;
    EXPECT_TRUE(current.ends_with(" meine\n")) << current;
}

} // namespace
} // namespace krel::test
