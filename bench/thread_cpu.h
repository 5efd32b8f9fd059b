#pragma once
// CPU time per thread of this process, for benchmarks that split a figure
// by thread: the kernel's per-thread CPU clocks, read by thread id.

#include <dirent.h>
#include <sys/types.h>
#include <time.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace krel::bench {

struct ThreadCpu {
    std::string name;
    double seconds = 0;
};

// CPU seconds of thread `tid` of this process, exact to the nanosecond; the
// clock id is the one pthread_getcpuclockid would give for it.
inline double threadCpuSeconds(pid_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
    timespec ts{};
    if (tid < 0 || clock_gettime(clock, &ts) != 0) return 0.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Every live thread of this process by id.
inline std::map<pid_t, ThreadCpu> threadCpuTimes() {
    std::map<pid_t, ThreadCpu> out;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return out;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const auto tid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        ThreadCpu t;
        std::getline(comm, t.name);
        t.seconds = threadCpuSeconds(tid);
        out[tid] = t;
    }
    closedir(dir);
    return out;
}

// The id of the thread of this process named `name`; -1 when there is none.
inline pid_t threadId(const std::string& name) {
    for (const auto& [tid, t] : threadCpuTimes())
        if (t.name == name) return tid;
    return -1;
}

// CPU seconds per thread name spent between two readings; threads that
// started or ended in between count with what the later reading shows.
inline std::map<std::string, double> cpuByName(const std::map<pid_t, ThreadCpu>& before,
                                               const std::map<pid_t, ThreadCpu>& after) {
    std::map<std::string, double> out;
    for (const auto& [tid, t] : after) {
        const auto it = before.find(tid);
        out[t.name] += t.seconds - (it != before.end() ? it->second.seconds : 0.0);
    }
    return out;
}

} // namespace krel::bench
