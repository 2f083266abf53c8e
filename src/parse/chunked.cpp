// The chunked body decoder: a byte-wise state machine for the framing, one
// memmove per run of data.
#include "parse/chunked.hpp"

#include <algorithm>
#include <cstring>

#include "parse/percent.hpp"

namespace zelweb {

bool ChunkedDecoder::fail(const char* why) {
    state_ = State::malformed;
    error_ = why;
    return false;
}

bool ChunkedDecoder::step(char c) {
    switch (state_) {
        case State::size:
        case State::size_blank:
        case State::extension:
        case State::size_lf:
            if (++line_bytes_ > chunk_line_limit)
                return fail("chunked body: chunk size line too long");
            break;
        case State::trailer_start:
        case State::trailer_line:
        case State::trailer_lf:
        case State::final_lf:
            if (++line_bytes_ > trailer_section_limit)
                return fail("chunked body: trailer section too long");
            break;
        default: break;
    }
    switch (state_) {
        case State::size: {
            int v = hex_value(c);
            if (v >= 0) {
                if (size_ > (UINT64_MAX >> 4)) return fail("chunked body: chunk size over 64 bits");
                size_ = size_ << 4 | static_cast<uint64_t>(v);
                digits_ = true;
                return true;
            }
            if (!digits_) return fail("chunked body: empty chunk size");
            if (c == ' ' || c == '\t')
                state_ = State::size_blank;
            else if (c == ';')
                state_ = State::extension;
            else if (c == '\r')
                state_ = State::size_lf;
            else if (c == '\n')
                return fail("chunked body: LF without CR in chunk size line");
            else
                return fail("chunked body: bad byte after chunk size");
            return true;
        }
        case State::size_blank:
            if (c == ';')
                state_ = State::extension;
            else if (c != ' ' && c != '\t')
                return fail("chunked body: bad byte after chunk size");
            return true;
        case State::extension:
            if (c == '\r')
                state_ = State::size_lf;
            else if (c == '\n')
                return fail("chunked body: LF without CR in chunk size line");
            else if (c == '\0')
                return fail("chunked body: NUL in chunk extension");
            return true;
        case State::size_lf:
            if (c != '\n') return fail("chunked body: CR without LF in chunk size line");
            line_bytes_ = 0;
            digits_ = false;
            state_ = size_ ? State::data : State::trailer_start;
            return true;
        case State::data_cr:
            if (c != '\r') return fail("chunked body: no CRLF after chunk data");
            state_ = State::data_lf;
            return true;
        case State::data_lf:
            if (c != '\n') return fail("chunked body: no CRLF after chunk data");
            state_ = State::size;
            return true;
        case State::trailer_start:
        case State::trailer_line:
            if (c == '\r')
                state_ = state_ == State::trailer_start ? State::final_lf : State::trailer_lf;
            else if (c == '\n')
                return fail("chunked body: LF without CR in trailer section");
            else if (c == '\0')
                return fail("chunked body: NUL in trailer section");
            else
                state_ = State::trailer_line;
            return true;
        case State::trailer_lf:
            if (c != '\n') return fail("chunked body: CR without LF in trailer section");
            state_ = State::trailer_start;
            return true;
        case State::final_lf:
            if (c != '\n') return fail("chunked body: CR without LF in trailer section");
            state_ = State::done;
            return true;
        case State::data:
        case State::done:
        case State::malformed: break;
    }
    return false;  // not reached: decode() handles these states itself
}

ChunkedDecoder::Result ChunkedDecoder::decode(const char* in, size_t in_size, char* out,
                                              size_t out_capacity) {
    size_t consumed = 0, produced = 0;
    while (consumed < in_size && state_ != State::done && state_ != State::malformed) {
        if (state_ == State::data) {
            size_t n = std::min({static_cast<uint64_t>(in_size - consumed), size_,
                                 static_cast<uint64_t>(out_capacity - produced)});
            if (n == 0) break;  // out is full
            // memmove: in place, out + produced may overlap in + consumed.
            std::memmove(out + produced, in + consumed, n);
            consumed += n;
            produced += n;
            size_ -= n;
            data_size_ += n;
            if (size_ == 0) state_ = State::data_cr;
            continue;
        }
        if (!step(in[consumed])) break;
        ++consumed;
    }
    Status status = state_ == State::done        ? Status::done
                    : state_ == State::malformed ? Status::malformed
                                                 : Status::need_more;
    return {consumed, produced, status};
}

}  // namespace zelweb
