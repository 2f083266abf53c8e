// The chunked transfer coding of a request body, decoded as its bytes arrive.
// Pure: no allocation, a few words of state, and it may decode in place.
//
// The framing is read strictly, so that no other reader of the same bytes can
// find the body's end elsewhere:
//   chunk-size line  1*HEXDIG [ *(SP / HTAB) ";" extensions ] CRLF
//                    extensions are any bytes but CR, LF and NUL, and are
//                    dropped; blanks after the size with no ";" are refused
//   after the data   CRLF
//   last chunk       size 0, then trailer lines, then an empty line CRLF
//   trailer line     any bytes but CR, LF and NUL, ended by CRLF; dropped
// A size line may hold chunk_line_limit bytes, the trailer section
// (its lines and the final CRLF) trailer_section_limit bytes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "parse/limits.hpp"

namespace zelweb {

class ChunkedDecoder {
public:
    enum class Status {
        need_more,  // all input used: call again with more; or out is full (consumed < in_size)
        done,       // the body ended; what follows `consumed` belongs to the next request
        malformed,  // error_text() says why
    };
    struct Result {
        size_t consumed;
        size_t produced;
        Status status;
    };

    // Decodes in[0, in_size) into out[0, out_capacity). `out` may equal `in`
    // (or lie before it): each byte written was read first, so the output
    // never overtakes the input. Framing is consumed even when out is full.
    // Once done or malformed, the answer stays and nothing more is consumed.
    Result decode(const char* in, size_t in_size, char* out, size_t out_capacity);

    const char* error_text() const { return error_; }
    uint64_t data_size() const { return data_size_; }  // data bytes produced so far

private:
    enum class State : uint8_t {
        size,        // the hex digits of a chunk size
        size_blank,  // blanks after the digits: only ";" may follow
        extension,   // after ";", up to the CR
        size_lf,     // the LF that ends the size line
        data,
        data_cr,
        data_lf,
        trailer_start,  // the start of a trailer line, or the final CRLF
        trailer_line,
        trailer_lf,
        final_lf,
        done,
        malformed,
    };
    bool step(char c);  // one framing byte; false if it is malformed
    bool fail(const char* why);

    State state_ = State::size;
    bool digits_ = false;    // the size line holds a digit
    uint64_t size_ = 0;      // the size being read, then what is left of the chunk
    size_t line_bytes_ = 0;  // of the size line, or of the trailer section
    uint64_t data_size_ = 0;
    const char* error_ = "";
};

}  // namespace zelweb
