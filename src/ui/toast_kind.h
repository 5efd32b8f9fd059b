#pragma once
// The kind of an on-screen notice; it selects the marker colour of the toast
// window and travels with every posted notice.

namespace krel {

enum class ToastKind : int { Info = 0, Warning = 1, Recording = 2, Done = 3 };

} // namespace krel
