// The log file: line format in local time, rotation at 2 MiB, concurrent
// writers. The process's data folder is the test data folder; each test
// starts without log files.

#include "config/log.h"
#include "config_test_support.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

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

} // namespace
} // namespace krel::test
