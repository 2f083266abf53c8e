// wsgi.input: a file-like stream over the request body as it arrives,
// read(), readline(), readlines() and iteration, never past the body's end.
// What it reads comes from a BodyStream the connection lends it for the
// request; once the request has ended the stream refuses to read.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace zelweb {

// The body as the connection delivers it.
class BodyStream {
public:
    // Up to `size` bytes into `buffer`: the count, 0 at the body's end, -1
    // with an OSError set when the body cannot be read whole (the client
    // gone or silent, a body over the server's bound, broken framing).
    virtual Py_ssize_t read(char* buffer, size_t size) = 0;

protected:
    ~BodyStream() = default;
};

extern PyTypeObject input_stream_type;
// zelweb.BodyTooLarge, an OSError: a body grew past max_body as it was read.
extern PyObject* body_too_large_error;

// A new stream over `source`, which must outlive it or be taken back.
Ref new_input_stream(BodyStream* source);
// A stream whose request has ended, and which nothing else holds, lent
// anew to the next request's `source`.
void lend_input_stream(PyObject* stream, BodyStream* source);
// The request has ended: later reads raise ValueError.
void end_input_stream(PyObject* stream);

bool ready_input_stream_type();

}  // namespace zelweb
