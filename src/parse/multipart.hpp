// A multipart/form-data body split at its delimiter, in bounded memory.
// Pure: the caller receives bytes into the reader's window and pulls events.
#pragma once
#include <cstddef>
#include <string_view>

#include "parse/limits.hpp"

namespace zelweb {

class MultipartReader {
public:
    static constexpr size_t window_capacity = multipart_window;

    enum class Event {
        need_more,  // receive into free_space() and commit(), or finish_input()
        part_head,  // head() holds the head lines of a new part
        data,       // data() holds the next bytes of the current part
        part_end,   // the current part's data is complete
        done,       // the closing delimiter was read; the rest is epilogue
        error,      // error_text() says why
    };

    MultipartReader() = default;
    MultipartReader(const MultipartReader&) = delete;
    MultipartReader& operator=(const MultipartReader&) = delete;

    char* free_space() { return window_ + end_; }
    size_t free_size() const { return window_capacity - end_; }
    void commit(size_t n) { end_ += n; }
    void finish_input() { finished_ = true; }  // no more bytes will come

    // Views returned with an event stay valid until the next call of next().
    Event next();
    std::string_view head() const { return out_; }
    std::string_view data() const { return out_; }
    const char* error_text() const { return error_; }

private:
    enum class State { delimiter_line, part_head, part_data, after_delimiter, done, error };
    Event fail(const char* why);
    Event need_more();
    void compact();

    State state_ = State::delimiter_line;
    char window_[window_capacity];
    size_t start_ = 0, end_ = 0;
    size_t scanned_ = 0;  // head scan position, relative to start_
    int run_ = 0;
    bool finished_ = false;
    char delimiter_[2 + boundary_line_capacity] = {'\r', '\n'};
    size_t delimiter_size_ = 0;
    std::string_view out_;
    const char* error_ = "";
};

}  // namespace zelweb
