#pragma once
// The exception for a failed platform or library call: it carries the call's
// source text and its 32-bit result (an AVERROR, a negative errno, a libva
// status, ...). what() is "<call> (0xXXXXXXXX)".

#include <cstdint>
#include <stdexcept>
#include <string>

namespace krel {

class HrError : public std::runtime_error {
public:
    HrError(std::string call, int64_t code);

    uint32_t code() const noexcept { return code_; }
    const std::string& call() const noexcept { return call_; }

private:
    std::string call_;
    uint32_t code_;
};

// Throws HrError(call, result) when result is negative (the libav* and
// errno convention); returns the result otherwise.
inline int checkAv(int result, const char* call) {
    if (result < 0) throw HrError(call, result);
    return result;
}

} // namespace krel
