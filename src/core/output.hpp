// What is left to write of a response that is complete: bytes, then a
// piece of an open file. The core writes it out to a slow reader without
// holding a thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zelweb {

class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    Output(Output&& o) noexcept { take(o); }
    Output& operator=(Output&& o) noexcept {
        if (this != &o) {
            clear();
            take(o);
        }
        return *this;
    }
    ~Output() { clear(); }

    // A copy of [data, data + size) to send first; false when out of memory.
    bool set_bytes(const char* data, size_t size);
    // The same from a malloc'ed buffer, which the output takes over.
    void adopt_bytes(char* data, size_t size);
    // Then `count` bytes of `fd` from `offset`; the output owns the descriptor.
    void set_file(int fd, uint64_t offset, uint64_t count);

    bool empty() const { return sent_ == size_ && file_left_ == 0; }

    enum class Step {
        done,        // everything went out
        blocked,     // the socket is full: wait until it is writable
        failed,      // the peer has gone (errno_ says how)
        short_file,  // the file ended before its announced length
    };
    // Writes what the socket takes now, without waiting. `progress` is set
    // when any byte went out.
    Step write(int socket, bool& progress);
    int error() const { return error_; }

    void clear();

private:
    void take(Output& o);

    char* data_ = nullptr;
    size_t size_ = 0, sent_ = 0;
    int file_ = -1;
    uint64_t offset_ = 0, file_left_ = 0;
    int error_ = 0;
};

// What write does, for bytes and a file the caller still holds: each sends
// what the socket takes now and moves its position; failed leaves errno set.
// `flags` are added to send's (MSG_MORE when a file follows).
Output::Step send_now(int socket, const char* data, size_t size, size_t& sent, int flags = 0);
Output::Step send_file_now(int socket, int fd, uint64_t& offset, uint64_t& left);

}  // namespace zelweb
