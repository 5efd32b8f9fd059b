#pragma once

namespace krel {

inline constexpr const char* kAppVersion = "0.1.7";

} // namespace krel
