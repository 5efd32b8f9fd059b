#pragma once
// A tiny benchmark registry: each bench file registers named groups; the
// krel-bench executable runs them (all, or those whose name contains an
// argument) and prints one "name value unit" line per figure.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace krel::bench {

inline void report(const std::string& name, double value, const char* unit) {
    std::printf("%s %.3f %s\n", name.c_str(), value, unit);
    std::fflush(stdout);
}

struct Group {
    const char* name;
    std::function<void()> run;
};

inline std::vector<Group>& groups() {
    static std::vector<Group> all;
    return all;
}

struct Register {
    Register(const char* name, std::function<void()> run) { groups().push_back({name, std::move(run)}); }
};

} // namespace krel::bench

#define KREL_BENCH_CONCAT2(a, b) a##b
#define KREL_BENCH_CONCAT(a, b) KREL_BENCH_CONCAT2(a, b)
// KREL_BENCH("replay") { ... }
#define KREL_BENCH(name)                                                                 \
    static void KREL_BENCH_CONCAT(benchBody_, __LINE__)();                               \
    static ::krel::bench::Register KREL_BENCH_CONCAT(benchReg_, __LINE__)(               \
        name, &KREL_BENCH_CONCAT(benchBody_, __LINE__));                                 \
    static void KREL_BENCH_CONCAT(benchBody_, __LINE__)()
