// The Range field of a request for a representation of a known size.
#pragma once
#include <cstdint>
#include <string_view>

namespace zelweb {

enum class RangeKind : uint8_t {
    whole,          // send the whole representation (200)
    partial,        // send bytes [first, last] (206)
    unsatisfiable,  // no range overlaps it (416, "bytes */size")
};

struct RangeAnswer {
    RangeKind kind = RangeKind::whole;
    uint64_t first = 0, last = 0;  // partial only; last < size
};

// Reads a Range value for `size` bytes. A value whose unit is not "bytes"
// (any case), or that is not a well-formed range set, is ignored: whole. One
// range: partial, clamped to the end ("bytes=-N" longer than the size is the
// whole of it, as a partial answer), or unsatisfiable when its first byte is
// at or past the end, for a suffix of 0 bytes and for an empty
// representation. Several ranges: whole when any is satisfiable (no
// multipart answer is made), else unsatisfiable. Numbers too large for 64
// bits saturate; the work is one pass over the value.
RangeAnswer parse_byte_range(std::string_view value, uint64_t size);

}  // namespace zelweb
