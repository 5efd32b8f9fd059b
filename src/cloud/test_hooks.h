#pragma once
// Hooks for tests of the network code. By default every wait, time-out and
// trust setting has its real value; nothing in the program calls these.
//
// - setNetworkSleepForTesting(f): the chunk upload's retry waits (800 ms and
//   1600 ms) call f with the wait instead of sleeping; an empty function
//   restores real sleeping.
// - setHttpTimeoutDivisorForTesting(n): every HTTP time-out and deadline is
//   divided by n, so a silent or trickling server is given up on sooner. A
//   divisor of 1 restores the real values.
// - setHttpCaFileForTesting(path): TLS certificates are verified against the
//   certificate authorities in this PEM file instead of the system's; an
//   empty path restores the system's.
// Safe to call from any thread.

#include <chrono>
#include <functional>
#include <string>

namespace krel {

using NetworkSleep = std::function<void(std::chrono::milliseconds)>;

void setNetworkSleepForTesting(NetworkSleep sleep);
void setHttpTimeoutDivisorForTesting(int divisor);
void setHttpCaFileForTesting(const std::string& pemFile);

// Waits `duration`, or hands it to the test's sleep.
void networkSleep(std::chrono::milliseconds duration);
int httpTimeoutDivisor();
std::string httpCaFileForTesting();

} // namespace krel
