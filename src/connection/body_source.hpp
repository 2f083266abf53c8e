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
    // What read() returns when the body cannot go on; stop() says why.
    static constexpr Py_ssize_t stopped = -1;

    // The body the connection's framing announces. The connection's
    // body_complete follows what is read.
    explicit BodySource(Connection& c);

    // Asks for the body with "100 Continue" when the client waits for it and
    // the body has not arrived with the head. False: stopped.
    bool begin();

    // Up to `size` body bytes into `buffer`: the count; 0 once the body is
    // complete; `stopped` when it cannot go on.
    Py_ssize_t read(char* buffer, size_t size);

    // Whether the rest of the body has already come with the head (its
    // chunked end included): a response that goes out before its body was
    // read may then still keep the connection.
    bool rest_buffered() const;

    // Reads and drops what of the body has already come with the head,
    // without waiting for more. The results of read(); 0 when that was all.
    Py_ssize_t skip_buffered();

    bool complete() const { return complete_; }

    // Why it stopped: bad_request (the chunked framing broke), too_large
    // (the decoded body passed max_body), cut_short (the peer closed its
    // side first, or a receive's time limit passed), peer_gone or failed,
    // with the error pending for the last three as the Outcome says.
    Outcome stop() const { return stop_; }

private:
    Py_ssize_t read_length(char* buffer, size_t size);
    Py_ssize_t read_chunked(char* buffer, size_t size);
    // A receive: its count, or `stopped` when it failed or the peer closed.
    Py_ssize_t receive(char* buffer, size_t size);
    Py_ssize_t halt(Outcome why);
    Outcome io_failure() const;
    void keep_overflow(const char* data, size_t size);
    void set_complete();

    Connection& c_;
    bool chunked_;
    uint64_t left_;  // length mode: body bytes still to hand out
    ChunkedDecoder decoder_;
    bool complete_;
    Outcome stop_ = Outcome::done;
};

}  // namespace zelweb
