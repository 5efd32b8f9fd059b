#include "cloud/test_hooks.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace krel {
namespace {

std::atomic<int> timeoutDivisor{1};

std::mutex& hooksLock() {
    static std::mutex m;
    return m;
}
NetworkSleep& sleepOverride() {
    static NetworkSleep f;
    return f;
}
std::string& caFile() {
    static std::string path;
    return path;
}

} // namespace

void setNetworkSleepForTesting(NetworkSleep sleep) {
    std::lock_guard lock(hooksLock());
    sleepOverride() = std::move(sleep);
}
void setHttpTimeoutDivisorForTesting(int divisor) {
    timeoutDivisor = std::max(1, divisor);
}
void setHttpCaFileForTesting(const std::string& pemFile) {
    std::lock_guard lock(hooksLock());
    caFile() = pemFile;
}

void networkSleep(std::chrono::milliseconds duration) {
    NetworkSleep sleep;
    {
        std::lock_guard lock(hooksLock());
        sleep = sleepOverride();
    }
    if (sleep)
        sleep(duration);
    else
        std::this_thread::sleep_for(duration);
}
int httpTimeoutDivisor() {
    return timeoutDivisor;
}
std::string httpCaFileForTesting() {
    std::lock_guard lock(hooksLock());
    return caFile();
}

} // namespace krel
