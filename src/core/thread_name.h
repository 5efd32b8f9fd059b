#pragma once
// Names the calling thread, so that top -H, /proc and debuggers show what
// each thread of the program does. Linux keeps at most 15 characters; longer
// names are cut.

namespace krel {

void nameThisThread(const char* name) noexcept;

} // namespace krel
