// start_response and the write callable it returns. start_response checks
// the status and headers an application gives, in the application's own
// frame, and composes the head's first lines; the connection sends them
// with the body. write() hands its bytes to a ResponseSink the connection
// lends for the request.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "py/ref.hpp"

namespace zelweb {

// What the connection does with the response.
class ResponseSink {
public:
    // Whether the head has gone out: an exc_info is then raised again.
    virtual bool head_sent() const = 0;
    // Bytes given to write(): false with an error set.
    virtual bool write(const char* data, size_t size) = 0;

protected:
    ~ResponseSink() = default;
};

// What the last successful call of start_response said.
struct ResponseStart {
    bool called = false;
    unsigned status = 0;
    bool has_length = false;  // a Content-Length line, whose value is `length`
    uint64_t length = 0;
    bool has_date = false, has_server = false;
};

extern PyTypeObject start_response_type;

Ref new_start_response(ResponseSink* sink);
// One whose request has ended, and which nothing else holds, lent anew
// (its head buffer kept).
void lend_start_response(PyObject* start_response, ResponseSink* sink);
const ResponseStart& response_start(PyObject* start_response);
// The status line and the application's lines, each with its CRLF, then
// what append_to_head added.
std::string_view response_head(PyObject* start_response);
// Adds the server's lines (and the empty line) after the application's.
// False with MemoryError set.
bool append_to_head(PyObject* start_response, std::string_view lines);
// The request has ended: later calls of start_response and write raise.
void end_start_response(PyObject* start_response);

bool ready_start_response_type();

}  // namespace zelweb
