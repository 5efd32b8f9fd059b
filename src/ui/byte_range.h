#pragma once
// The one byte range of an HTTP Range header ("bytes=first-last",
// "bytes=first-", "bytes=-suffix") against a file of known size, as the
// clip player asks for it when it seeks.

#include <cstdint>
#include <string_view>

namespace krel {

struct ByteRange {
    enum Kind {
        Whole,         // no usable range: answer 200 with the whole file
        Partial,       // answer 206 with [first, first + length)
        Unsatisfiable, // answer 416 ("bytes */size")
    };
    Kind kind = Whole;
    int64_t first = 0;
    int64_t length = 0;
};

// A missing, malformed or multi-part header asks for the whole file (a
// server may always ignore a range); a range starting at or past the end
// cannot be served. `last` past the end is cut to the end.
ByteRange parseByteRange(std::string_view header, int64_t size);

} // namespace krel
