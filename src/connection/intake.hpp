// The first stage of a request: its head read from the connection and
// parsed into a new record.
#pragma once
#include <Python.h>

#include "connection/connection.hpp"
#include "py/ref.hpp"

namespace zelweb {

enum class HeadStatus {
    complete,    // c.head[0, c.head_size) is the head; what follows it came with it
    nothing,     // no byte came: the peer closed, or stayed silent past the first wait
    incomplete,  // the head began but did not end (time limit, reset, close)
    too_large,   // head_capacity bytes without the end of the head
    failed,      // an error not of the class Exception is pending
};

// Reads a head after the bytes already in c.head[0, c.received) (a pipelined
// request's start). `first_wait`, when given, bounds the wait for the head's
// first byte (an idle connection); from that byte on, each receive waits at
// most head_receive_seconds and the whole head head_seconds. Any Exception
// of a failed receive stays pending.
HeadStatus read_head(Connection& c, PyObject* first_wait, bool skip_blank_lines);

// The peer of an accepted socket object, from accept's (host, port, ...).
Peer peer_of(PyObject* addr);

// The strict reading of c.head into c.request, and its verdict; made once
// (the core's thread may have made it before taking the interpreter lock).
HeadFault read_head_strictly(Connection& c);

// The connection's part in c.request: its framing, what keeps it, whether
// it waits for 100 Continue, and what is left of its body.
void take_request_head(Connection& c);

// serve's record: a new one filled from the head c.request holds (read by
// read_request_head, without a 400), and the connection's peer; the body's
// framing set from it. bad_request: the method or the target is too long for
// its field (the refusal message printed).
Outcome fill_record_from_head(Connection& c, Ref& record);

// start's intake: the channel made ready (TLS handshake included), the head
// read and the record filled. Every failure short of an error not of the
// class Exception is close_quietly.
Outcome read_request(Connection& c, Ref& record);

}  // namespace zelweb
