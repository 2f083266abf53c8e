// The multipart reader and the part-head rules.
#include "connection/multipart.hpp"

#include <cstring>

#include "connection/head.hpp"
#include "context/strings.hpp"

namespace zelweb {

PartHead parse_part_head(std::string_view head) {
    PartHead out;
    constexpr std::string_view file_key = "filename=\"";
    size_t at = head.find(file_key);
    if (at != head.npos) {
        size_t from = at + file_key.size();
        size_t quote = head.find('"', from);
        size_t eol = head.find("\r\n", from);
        if (quote == head.npos || quote > eol) {
            // No closing quote on its line: the name ends with the line.
            out.filename = head.substr(from, eol == head.npos ? head.npos : eol - from);
        } else {
            out.filename = head.substr(from, quote - from);
            constexpr std::string_view type_key = "Content-Type: ";
            size_t t = head.find(type_key, quote);
            if (t != head.npos) {
                size_t v = t + type_key.size();
                size_t eol = head.find("\r\n", v);
                out.content_type = head.substr(v, eol == head.npos ? head.npos : eol - v);
            }
        }
    }
    constexpr std::string_view name_key = "name=\"";
    for (size_t n = head.find(name_key); n != head.npos; n = head.find(name_key, n + 1)) {
        if (n == 0 || head[n - 1] == ' ' || head[n - 1] == ';') {
            size_t from = n + name_key.size();
            size_t quote = head.find('"', from);
            if (quote != head.npos) out.name = head.substr(from, quote - from);
            break;
        }
    }
    return out;
}

MultipartReader::Event MultipartReader::fail(const char* why) {
    state_ = State::error;
    error_ = why;
    return Event::error;
}

void MultipartReader::compact() {
    if (start_ == 0) return;
    std::memmove(window_, window_ + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
}

MultipartReader::Event MultipartReader::need_more() {
    compact();
    return Event::need_more;
}

MultipartReader::Event MultipartReader::next() {
    for (;;) {
        std::string_view avail(window_ + start_, end_ - start_);
        switch (state_) {
            case State::delimiter_line: {
                size_t eol = avail.find("\r\n");
                if (eol == avail.npos) {
                    if (avail.size() >= boundary_line_capacity + 1) {
                        report_overflow(boundary_line_capacity);
                        return fail("multipart body: delimiter line too long");
                    }
                    if (finished_) return fail("multipart body ended before its first part");
                    return need_more();
                }
                std::string_view line = avail.substr(0, eol);
                if (line.size() >= boundary_line_capacity) {
                    report_overflow(boundary_line_capacity);
                    return fail("multipart body: delimiter line too long");
                }
                if (line.size() < 3 || line.substr(0, 2) != "--")
                    return fail("multipart body does not begin with a delimiter");
                std::memcpy(delimiter_ + 2, line.data(), line.size());
                delimiter_size_ = line.size() + 2;
                start_ += eol + 2;
                state_ = State::part_head;
                scanned_ = 0;
                run_ = 2;  // the delimiter line's CR LF opens the run of the head's end
                continue;
            }
            case State::part_head: {
                auto found = scan_break_run(avail.data() + scanned_, avail.size() - scanned_, run_);
                if (found) {
                    size_t len = scanned_ + *found;
                    if (len > part_head_capacity)
                        return fail("multipart body: part head of 1024 bytes without its end");
                    out_ = avail.substr(0, len);
                    start_ += len;
                    state_ = State::part_data;
                    return Event::part_head;
                }
                scanned_ = avail.size();
                if (scanned_ >= part_head_capacity)
                    return fail("multipart body: part head of 1024 bytes without its end");
                if (finished_) return fail("multipart body ended inside a part head");
                return need_more();
            }
            case State::part_data: {
                std::string_view needle(delimiter_, delimiter_size_);
                size_t at = avail.find(needle);
                if (at == 0) {
                    start_ += needle.size();
                    state_ = State::after_delimiter;
                    return Event::part_end;
                }
                if (at != avail.npos) {
                    out_ = avail.substr(0, at);
                    start_ += at;
                    return Event::data;
                }
                // Keep what could be the start of a delimiter split across receives.
                size_t keep = needle.size() - 1;
                if (avail.size() > keep) {
                    out_ = avail.substr(0, avail.size() - keep);
                    start_ += out_.size();
                    return Event::data;
                }
                if (finished_) return fail("multipart body ended before its closing delimiter");
                return need_more();
            }
            case State::after_delimiter: {
                if (avail.size() < 2) {
                    if (finished_) return fail("multipart body ended before its closing delimiter");
                    return need_more();
                }
                if (avail.substr(0, 2) == "--") {
                    start_ = end_ = 0;
                    state_ = State::done;
                    return Event::done;
                }
                if (avail.substr(0, 2) != "\r\n")
                    return fail("multipart body: malformed delimiter");
                start_ += 2;
                state_ = State::part_head;
                scanned_ = 0;
                run_ = 2;
                continue;
            }
            case State::done:
                start_ = end_ = 0;  // the epilogue is drained and dropped
                return finished_ ? Event::done : Event::need_more;
            case State::error:
                return Event::error;
        }
    }
}

}  // namespace zelweb
