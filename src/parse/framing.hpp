// Where a request's body ends, from its Content-Length and Transfer-Encoding
// lines. A body whose end two readers could place differently is refused:
// both headers at once, lengths that disagree, a coding other than chunked.
#pragma once
#include <cstdint>
#include <string_view>

namespace zelweb {

struct BodyFraming {
    enum class Kind {
        none,         // no body
        length,       // `length` bytes
        chunked,      // the chunked coding
        conflicting,  // cannot be trusted: a bad request
        unsupported,  // a transfer coding this server does not decode
    };
    Kind kind = Kind::none;
    uint64_t length = 0;
    // Every Content-Length value was digits alone, and fits 64 bits; a
    // lenient reader of the value (strtoul's way) may have read it otherwise.
    bool strict = true;
};

class FramingReader {
public:
    // One header line's value (trimmed).
    void content_length(std::string_view value);
    void transfer_encoding(std::string_view value);
    BodyFraming result() const;

private:
    int lengths_ = 0, codings_ = 0;
    uint32_t first_length_ = 0;  // read the strtoul way
    bool lengths_disagree_ = false, strict_ = true, chunked_ = false;
    uint64_t length_ = 0;  // read strictly
};

}  // namespace zelweb
