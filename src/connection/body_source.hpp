// The request body as the connection delivers it: first the bytes that came
// with the head, then receives; never beyond the body's end, announced by
// its length or found by its chunked framing, which is decoded here.
#pragma once
#include <Python.h>

#include <cstdint>

#include "connection/connection.hpp"
#include "parse/chunked.hpp"

namespace zelweb {

class BodySource {
public:
    // What read() returns when the chunked framing cannot be trusted, and
    // when the decoded body grows past the connection's max_body.
    static constexpr Py_ssize_t malformed = -2;
    static constexpr Py_ssize_t too_large = -3;

    // A body of `length` bytes, or chunked when the connection's framing says
    // so. The connection's body_complete follows what is read.
    BodySource(Connection& c, uint64_t length);

    // Asks for the body with "100 Continue" when the client waits for it and
    // the body has not arrived with the head. False with an error set.
    bool begin();

    // Up to `size` body bytes into `buffer`: the count; 0 once the body is
    // complete or the peer has closed (complete() tells which); -1 with an
    // error set; `malformed` or `too_large`.
    Py_ssize_t read(char* buffer, size_t size);

    // Whether the rest of the body has already come with the head (its
    // chunked end included): a response that goes out before its body was
    // read may then still keep the connection.
    bool rest_buffered() const;

    // Reads and drops what of the body has already come with the head,
    // without waiting for more. The results of read(); 0 when that was all.
    Py_ssize_t skip_buffered();

    bool complete() const { return complete_; }

private:
    Py_ssize_t read_length(char* buffer, size_t size);
    Py_ssize_t read_chunked(char* buffer, size_t size);
    Py_ssize_t receive(char* buffer, size_t size);
    void keep_overflow(const char* data, size_t size);
    void set_complete();

    Connection& c_;
    bool chunked_;
    uint64_t left_;  // length mode: body bytes still to hand out
    ChunkedDecoder decoder_;
    bool complete_ = false;
};

}  // namespace zelweb
