#pragma once
// Per-thread set-up of the two audio threads. On Linux it names the calling
// thread (seen in /proc, top and debuggers); the threads keep the normal
// scheduling class, as raising it needs privileges a desktop user lacks.

namespace krel {

void prepareAudioThread(const char* name) noexcept;

} // namespace krel
