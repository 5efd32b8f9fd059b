// Thread names through SetThreadDescription, which Windows 10 1607 added;
// it is looked up at run time so that the program still starts where it is
// missing (the name is then simply not set).
#include "core/thread_name.h"
#include "config/win/wide_text.h"

#include <windows.h>

namespace krel {
namespace {

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFn setThreadDescription() {
    static const auto fn = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC proc = kernel ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
        return reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(proc));
    }();
    return fn;
}

} // namespace

void nameThisThread(const char* name) noexcept {
    try {
        if (auto fn = setThreadDescription()) fn(GetCurrentThread(), wideFromUtf8(name).c_str());
    } catch (...) {
        // out of memory: the thread stays unnamed
    }
}

} // namespace krel
