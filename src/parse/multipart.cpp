// The multipart reader.
#include "parse/multipart.hpp"

#include <cstring>

#include "parse/head.hpp"
#include "parse/text.hpp"

namespace zelweb {

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
            case State::error: return Event::error;
        }
    }
}

}  // namespace zelweb
