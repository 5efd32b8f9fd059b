#include "core/hr_error.h"

#include <fmt/format.h>

namespace krel {
namespace {

std::string formatMessage(const std::string& call, uint32_t code) {
    return fmt::format("{} (0x{:08X})", call, code);
}

} // namespace

HrError::HrError(std::string call, int64_t code)
    : std::runtime_error(formatMessage(call, static_cast<uint32_t>(code))),
      call_(std::move(call)),
      code_(static_cast<uint32_t>(code)) {}

} // namespace krel
