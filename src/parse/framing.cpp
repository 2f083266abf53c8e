// The body framing of a request.
#include "parse/framing.hpp"

#include "parse/head.hpp"

namespace zelweb {

void FramingReader::content_length(std::string_view value) {
    uint32_t lenient = parse_content_length(value);
    uint64_t strict = 0;
    bool digits = !value.empty();
    for (char c : value) {
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (c < '0' || c > '9' || strict > (UINT64_MAX - d) / 10) {
            digits = false;
            break;
        }
        strict = strict * 10 + d;
    }
    if (lengths_ == 0) {
        first_length_ = lenient;
        length_ = digits ? strict : lenient;
    } else if (lenient != first_length_ || (digits && strict != length_)) {
        lengths_disagree_ = true;
    }
    strict_ = strict_ && digits;
    ++lengths_;
}

void FramingReader::transfer_encoding(std::string_view value) {
    chunked_ = codings_ == 0 && header_name_is(value, "chunked");
    ++codings_;
}

BodyFraming FramingReader::result() const {
    BodyFraming f;
    f.strict = strict_;
    if (codings_ > 0 && lengths_ > 0)
        f.kind = BodyFraming::Kind::conflicting;
    else if (codings_ > 1)
        f.kind = BodyFraming::Kind::conflicting;
    else if (codings_ == 1)
        f.kind = chunked_ ? BodyFraming::Kind::chunked : BodyFraming::Kind::unsupported;
    else if (lengths_disagree_)
        f.kind = BodyFraming::Kind::conflicting;
    else if (lengths_ > 0 && length_ > 0)
        f.kind = BodyFraming::Kind::length;
    if (f.kind == BodyFraming::Kind::length) f.length = length_;
    return f;
}

}  // namespace zelweb
