// A fresh process for the config tests: the data folder and the portable
// suffix are decided once per process, so every case that depends on the
// environment at that first decision runs here. Prints its answers one per
// line on standard output.
//
//   config_probe data-dir               the data folder, or on failure
//                                       "filesystem_error", the error's
//                                       value and its path (exit code 2)
//   config_probe data-dir-then <dir>    the data folder, then again after
//                                       KREL_PLAY_DATA_DIR was set to <dir>
//   config_probe data-dir-threads <n>   the data folder as seen by <n>
//                                       threads starting at once
//   config_probe clip-dir [clipDir]     the clip folder for "clipDir"
//   config_probe portable               "[suffix]", then again after the
//                                       portable variable was flipped

#include "config/data_directory.h"
#include "config/settings.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace {

void print(const std::string& line) { std::printf("%s\n", line.c_str()); }

int dataDir() {
    try {
        print(krel::dataDirectory().string());
        return 0;
    } catch (const std::filesystem::filesystem_error& e) {
        print("filesystem_error");
        print(std::to_string(e.code().value()));
        print(e.path1().string());
        return 2;
    }
}

int dataDirThreads(int count) {
    std::latch start(count);
    std::vector<std::string> seen(static_cast<std::size_t>(count));
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[static_cast<std::size_t>(i)] = krel::dataDirectory().string();
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& s : seen) print(s);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    const std::string command = argv[1];
    if (command == "data-dir") return dataDir();
    if (command == "data-dir-then" && argc == 3) {
        print(krel::dataDirectory().string());
        ::setenv("KREL_PLAY_DATA_DIR", argv[2], 1);
        print(krel::dataDirectory().string());
        return 0;
    }
    if (command == "data-dir-threads" && argc == 3) return dataDirThreads(std::atoi(argv[2]));
    if (command == "clip-dir") {
        krel::Settings settings;
        if (argc == 3) settings.clipDir = argv[2];
        print(krel::clipDirectory(settings).string());
        return 0;
    }
    if (command == "portable") {
        print("[" + krel::portableSuffix() + "]");
        if (std::getenv("KREL_PLAY_PORTABLE")) ::unsetenv("KREL_PLAY_PORTABLE");
        else ::setenv("KREL_PLAY_PORTABLE", "1", 1);
        print("[" + krel::portableSuffix() + "]");
        return 0;
    }
    return 64;
}
