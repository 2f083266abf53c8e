// A slow, whole-buffer model of the chunked body decoder, and a driver that
// feeds the real decoder in pieces with chosen output capacities. Shared by
// the native tests and the fuzzer.
#pragma once
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parse/chunked.hpp"

namespace zelweb_test {

using Status = zelweb::ChunkedDecoder::Status;

struct ChunkedOutcome {
    Status status = Status::need_more;
    std::string data;      // the data bytes before the end of the input or the fault
    size_t consumed = 0;   // done: the length of the body
    bool operator==(const ChunkedOutcome& o) const {
        return status == o.status && data == o.data && (status != Status::done || consumed == o.consumed);
    }
};

// A line from `from` through its LF, or to the end of the input. A line is
// counted as it arrives, so one longer than `limit` is refused even unended.
struct ModelLine {
    std::string_view text;  // without the CR and LF
    size_t length = 0;      // with them
    bool has_cr = false;    // the CR that ends the text was seen
    bool complete = false;  // and the LF
};
inline std::optional<ModelLine> model_line(std::string_view in, size_t from, size_t limit) {
    size_t lf = in.find('\n', from);
    std::string_view line = in.substr(from, lf == in.npos ? in.npos : lf + 1 - from);
    if (line.size() > limit) return std::nullopt;
    ModelLine out;
    out.length = line.size();
    out.complete = lf != in.npos;
    if (out.complete) line.remove_suffix(1);
    out.has_cr = !line.empty() && line.back() == '\r';
    if (out.has_cr) line.remove_suffix(1);
    if (out.complete && !out.has_cr) return std::nullopt;  // LF without CR
    if (line.find('\r') != line.npos) return std::nullopt;  // CR without LF
    out.text = line;
    return out;
}

// A size line's text, or the start of one when `whole` is false.
inline std::optional<uint64_t> model_size(std::string_view text, bool whole) {
    std::string_view hex = text.substr(0, text.find_first_not_of("0123456789abcdefABCDEF"));
    std::string_view rest = text.substr(hex.size());
    std::string_view significant = hex.substr(std::min(hex.find_first_not_of('0'), hex.size()));
    if (significant.size() > 16) return std::nullopt;
    uint64_t size = significant.empty() ? 0 : std::stoull(std::string(significant), nullptr, 16);
    if (hex.empty()) {
        if (whole || !rest.empty()) return std::nullopt;
        return size;
    }
    size_t semicolon = rest.find_first_not_of(" \t");
    if (semicolon == rest.npos) {
        if (whole && !rest.empty()) return std::nullopt;  // blanks without ";"
        return size;
    }
    if (rest[semicolon] != ';' || rest.find('\0') != rest.npos) return std::nullopt;
    return size;
}

inline ChunkedOutcome chunked_model(std::string_view in) {
    ChunkedOutcome out;
    auto malformed = [&] {
        out.status = Status::malformed;
        return out;
    };
    size_t pos = 0;
    for (;;) {
        auto line = model_line(in, pos, zelweb::chunk_line_limit);
        if (!line) return malformed();
        auto size = model_size(line->text, line->has_cr);
        if (!size) return malformed();
        if (!line->complete) return out;
        pos += line->length;
        if (*size == 0) break;
        if (*size > in.size() - pos) {
            out.data += in.substr(pos);
            return out;
        }
        out.data += in.substr(pos, *size);
        pos += *size;
        std::string_view after = in.substr(pos, 2);
        if (after != std::string_view("\r\n").substr(0, after.size())) return malformed();
        if (after.size() < 2) return out;
        pos += 2;
    }
    size_t budget = zelweb::trailer_section_limit;
    for (;;) {
        auto line = model_line(in, pos, budget);
        if (!line || line->text.find('\0') != line->text.npos) return malformed();
        if (!line->complete) return out;
        pos += line->length;
        budget -= line->length;
        if (line->text.empty()) {
            out.status = Status::done;
            out.consumed = pos;
            return out;
        }
    }
}

// Feeds `body` to a fresh decoder in receives of the sizes in `pieces` and
// with output buffers of the sizes in `capacities` (in both, the last size
// repeats, at least 1; none: all at once, and room for the whole input of
// each call). Each call sees
// exactly-sized copies, so that a sanitizer sees any access out of bounds.
// In place, the output buffer is the input buffer, as large as what the
// capacity allows. `sound` is false if a call broke the contract.
struct Driven {
    ChunkedOutcome outcome;
    bool sound = true;
};
inline Driven drive_decoder(std::string_view body, const std::vector<size_t>& pieces,
                            const std::vector<size_t>& capacities, bool in_place) {
    auto nth = [](const std::vector<size_t>& sizes, size_t& i, size_t all) {
        if (sizes.empty()) return all;
        size_t n = i < sizes.size() ? sizes[i] : std::max<size_t>(sizes.back(), 1);
        ++i;
        return n;
    };
    zelweb::ChunkedDecoder decoder;
    Driven d;
    std::string pending;  // received, not yet consumed
    size_t received = 0, piece = 0, capacity = 0;
    Status status = Status::need_more;
    while (status == Status::need_more) {
        if (pending.empty()) {
            if (received == body.size()) break;
            size_t n = std::min(nth(pieces, piece, body.size()), body.size() - received);
            pending.assign(body.substr(received, n));
            received += n;
        }
        std::vector<char> in(pending.begin(), pending.end());
        size_t cap = nth(capacities, capacity, in.size());
        if (in_place) cap = std::min(cap, in.size());
        std::vector<char> separate(in_place ? 0 : cap);
        char* out = in_place ? in.data() : separate.data();
        auto r = decoder.decode(in.data(), in.size(), out, cap);
        if (r.consumed > in.size() || r.produced > cap || r.produced > r.consumed) d.sound = false;
        if (r.consumed == 0 && r.status == Status::need_more && cap > 0 && !in.empty())
            d.sound = false;  // no progress
        if (cap > 0) d.outcome.data.append(out, std::min(r.produced, cap));
        pending.erase(0, std::min(r.consumed, pending.size()));
        d.outcome.consumed += r.consumed;
        status = r.status;
    }
    d.outcome.status = status;
    if (status == Status::need_more && d.outcome.consumed != body.size()) d.sound = false;
    if (decoder.data_size() != d.outcome.data.size()) d.sound = false;
    if (status != Status::need_more) {
        // The answer stays, and nothing more is taken.
        char byte = '0';
        auto r = decoder.decode(&byte, 1, &byte, 1);
        if (r.status != status || r.consumed != 0 || r.produced != 0) d.sound = false;
    }
    return d;
}

}  // namespace zelweb_test
