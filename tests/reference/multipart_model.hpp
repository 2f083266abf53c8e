// A slow, whole-body model of the multipart reader, and a driver that feeds
// the real reader in pieces. Both produce the same event list, so a body and
// any split of it can be compared. Shared by the native tests and the fuzzer.
#pragma once
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "parse/multipart.hpp"
#include "parse/part_head.hpp"

namespace zelweb_test {

using zelweb::MultipartReader;

// Adjacent data events merged: how a body is cut into receives must not show.
struct Outcome {
    std::vector<std::string> events;  // "H:<head>", "D:<data>", "E", "DONE", "ERR:<why>"
    bool empty_data = false;          // the reader handed out a data event of 0 bytes
    bool sticky = true;               // events after the last one repeat it

    void add(std::string event) {
        if (event.rfind("D:", 0) == 0 && !events.empty() && events.back().rfind("D:", 0) == 0)
            events.back().append(event, 2, std::string::npos);
        else
            events.push_back(std::move(event));
    }
    bool operator==(const Outcome& o) const { return events == o.events; }
};

inline bool is_break(char c) { return c == '\r' || c == '\n'; }

// The body is whole and nothing more will come.
inline Outcome reference_split(std::string_view body) {
    constexpr size_t line_cap = zelweb::boundary_line_capacity;
    constexpr size_t head_cap = zelweb::part_head_capacity;
    Outcome out;
    size_t eol = body.find("\r\n");
    if (eol == body.npos) {
        out.add(body.size() > line_cap ? "ERR:multipart body: delimiter line too long"
                                       : "ERR:multipart body ended before its first part");
        return out;
    }
    std::string_view line = body.substr(0, eol);
    if (line.size() >= line_cap) {
        out.add("ERR:multipart body: delimiter line too long");
        return out;
    }
    if (line.size() < 3 || line.substr(0, 2) != "--") {
        out.add("ERR:multipart body does not begin with a delimiter");
        return out;
    }
    const std::string needle = "\r\n" + std::string(line);
    size_t pos = eol + 2;  // the CR LF before pos is always there
    for (;;) {
        // Head: ends with the fourth of four CR/LF bytes in a row, counting
        // the CR LF just before pos but nothing earlier.
        size_t end = body.npos;
        for (size_t i = pos + 1; i < body.size() && i - pos < head_cap; ++i) {
            if (is_break(body[i]) && is_break(body[i - 1]) && is_break(body[i - 2]) &&
                is_break(body[i - 3])) {
                end = i + 1;
                break;
            }
        }
        if (end == body.npos) {
            out.add(body.size() - pos >= head_cap
                        ? "ERR:multipart body: part head of 1024 bytes without its end"
                        : "ERR:multipart body ended inside a part head");
            return out;
        }
        out.add("H:" + std::string(body.substr(pos, end - pos)));
        pos = end;
        size_t at = body.find(needle, pos);
        if (at == body.npos) {
            // Everything but what could still be the start of a delimiter.
            size_t rest = body.size() - pos, keep = needle.size() - 1;
            if (rest > keep) out.add("D:" + std::string(body.substr(pos, rest - keep)));
            out.add("ERR:multipart body ended before its closing delimiter");
            return out;
        }
        if (at > pos) out.add("D:" + std::string(body.substr(pos, at - pos)));
        out.add("E");
        pos = at + needle.size();
        std::string_view after = body.substr(pos, 2);
        if (after == "--") {
            out.add("DONE");
            return out;
        }
        if (after.size() < 2) {
            out.add("ERR:multipart body ended before its closing delimiter");
            return out;
        }
        if (after != "\r\n") {
            out.add("ERR:multipart body: malformed delimiter");
            return out;
        }
        pos += 2;
    }
}

// Feeds `body` to a fresh reader in pieces of the given sizes (the last size
// repeats; 0 means "all the rest"), finishing the input when it runs out.
inline Outcome drive_reader(std::string_view body, const std::vector<size_t>& pieces) {
    // One reader's storage, reused: a fresh 64 KiB allocation per run would
    // dominate the fuzzer's time.
    alignas(MultipartReader) static unsigned char storage[sizeof(MultipartReader)];
    struct Destroy {
        void operator()(MultipartReader* r) const { r->~MultipartReader(); }
    };
    std::unique_ptr<MultipartReader, Destroy> reader(new (storage) MultipartReader);
    Outcome out;
    size_t fed = 0, piece = 0;
    bool finished = false;
    auto feed = [&]() {
        if (fed == body.size()) {
            reader->finish_input();
            finished = true;
            return;
        }
        size_t want = pieces.empty() ? 0 : pieces[piece < pieces.size() ? piece : pieces.size() - 1];
        ++piece;
        if (want == 0 || want > body.size() - fed) want = body.size() - fed;
        if (want > reader->free_size()) want = reader->free_size();
        std::copy(body.data() + fed, body.data() + fed + want, reader->free_space());
        reader->commit(want);
        fed += want;
    };
    for (;;) {
        switch (reader->next()) {
            case MultipartReader::Event::need_more:
                if (finished) {  // a reader must not ask again once told the input ended
                    out.add("ERR:need_more after finish");
                    return out;
                }
                feed();
                break;
            case MultipartReader::Event::part_head:
                out.add("H:" + std::string(reader->head()));
                break;
            case MultipartReader::Event::data:
                if (reader->data().empty()) out.empty_data = true;
                out.add("D:" + std::string(reader->data()));
                break;
            case MultipartReader::Event::part_end:
                out.add("E");
                break;
            case MultipartReader::Event::done: {
                out.add("DONE");
                // The epilogue is taken and dropped; the answer stays "done".
                while (!finished) {
                    feed();
                    auto e = reader->next();
                    if (e != MultipartReader::Event::need_more && e != MultipartReader::Event::done)
                        out.sticky = false;
                    if (reader->free_size() != MultipartReader::window_capacity) out.sticky = false;
                }
                if (reader->next() != MultipartReader::Event::done) out.sticky = false;
                return out;
            }
            case MultipartReader::Event::error:
                out.add(std::string("ERR:") + reader->error_text());
                if (reader->next() != MultipartReader::Event::error) out.sticky = false;
                return out;
        }
    }
}

}  // namespace zelweb_test
