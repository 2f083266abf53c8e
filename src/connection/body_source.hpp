// The request body as the connection delivers it: first the bytes that came
// with the head, then receives, never beyond the body's announced length.
#pragma once
#include <Python.h>

#include <cstdint>

#include "connection/connection.hpp"

namespace zelweb {

class BodySource {
public:
    BodySource(Connection& c, uint64_t length);

    // Asks for the body with "100 Continue" when the client waits for it and
    // the body has not arrived whole with the head. False with an error set.
    bool begin();

    // Up to `size` body bytes into `buffer`: the count, 0 once the body is
    // complete or the peer has closed (peer_closed() tells which), -1 with an
    // error set.
    Py_ssize_t read(char* buffer, size_t size);

    uint64_t remaining() const;  // body bytes still to come
    bool peer_closed() const { return peer_closed_; }

private:
    Connection& c_;
    uint64_t length_;
    size_t buffered_;   // body bytes that came with the head
    size_t taken_ = 0;  // of those, handed out
    bool peer_closed_ = false;
};

}  // namespace zelweb
