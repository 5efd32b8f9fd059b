#include "cloud/test_hooks.h"

#include <algorithm>
#include <atomic>

namespace krel {
namespace {

std::atomic<int> waitDivisor{1};
std::atomic<int> timeoutDivisor{1};

} // namespace

void setNetworkWaitDivisorForTesting(int divisor) {
    waitDivisor = std::max(1, divisor);
}
void setHttpTimeoutDivisorForTesting(int divisor) {
    timeoutDivisor = std::max(1, divisor);
}
int networkWaitDivisor() {
    return waitDivisor;
}
int httpTimeoutDivisor() {
    return timeoutDivisor;
}

} // namespace krel
