#pragma once
// Hooks for tests to shorten waits of the network code. By default every
// wait and time-out has its real value; nothing in the program calls these.
//
// - setNetworkWaitDivisorForTesting(n): the chunk upload's retry waits
//   (800 ms and 1600 ms) are divided by n.
// - setHttpTimeoutDivisorForTesting(n): every HTTP time-out (connect, send,
//   receive) is divided by n, so a silent server is given up on sooner.
// A divisor of 1 restores the real values. Safe to call from any thread.

namespace krel {

void setNetworkWaitDivisorForTesting(int divisor);
void setHttpTimeoutDivisorForTesting(int divisor);

int networkWaitDivisor();
int httpTimeoutDivisor();

} // namespace krel
