// Dispatch to the application and the response on the wire.
#include <cstring>

#include "connection/client.hpp"
#include "connection/socket_io.hpp"
#include "module/compat.hpp"
#include "module/files.hpp"
#include "module/names.hpp"
#include "module/ref.hpp"

namespace zelweb {

namespace {

// The head: status line, extra headers, the server line, cookies, type and
// length, the empty line; then `body` (empty for a file response). Every
// response says "Connection: close": the server closes after it, and a client
// that kept the connection for its next request would meet a reset. Composed
// in one pass into one bytes object of the exact size, so nothing is ever
// truncated and the text goes out in the same send as the head.
// Decimal digits of n, written backwards from `end`.
std::string_view decimal(unsigned long long n, char* end) {
    char* p = end;
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n);
    return std::string_view(p, static_cast<size_t>(end - p));
}

PyObject* compose(const HttpObject* r, unsigned long long length, std::string_view body) {
    char status_digits[8], size_digits[24];
    std::string_view status = decimal(r->status, status_digits + sizeof status_digits);
    std::string_view size = decimal(length, size_digits + sizeof size_digits);
    const std::string_view pieces[] = {
        field_text(r->response_protocol), " ", status, " ",
        field_text(r->status_text), "\r\n", field_text(r->headers), "server: Tovrel\r\nConnection: close\r\n",
        field_text(r->set_cookie), "Content-Type: ", field_text(r->content_type),
        "\r\nContent-Length: ", size, "\r\n\r\n", body,
    };
    size_t total = 0;
    for (auto p : pieces) total += p.size();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (!out) return nullptr;
    char* w = PyBytes_AS_STRING(out);
    for (auto p : pieces) {
        if (p.empty()) continue;  // an empty view may hold no address at all
        std::memcpy(w, p.data(), p.size());
        w += p.size();
    }
    return out;
}

// Sends exactly data_size bytes of the file (fewer if it has become shorter)
// through the socket's own sendfile, then removes it when asked to.
bool send_file(PyObject* con, const HttpObject* r) {
    Ref path = Ref::steal(PyBytes_FromString(r->data_path));
    int found = path ? path_exists(path.get()) : -1;
    if (found < 0) return false;
    if (found) {
        Ref open = Ref::steal(module_global(names.open));
        if (!open) return false;
        PyObject* open_args[] = {path.get(), names.mode_rb};
        Ref file = Ref::steal(vectorcall(open.get(), open_args, 2, nullptr));
        if (!file) return false;
        Ref count = Ref::steal(PyLong_FromUnsignedLong(r->data_size));
        Ref sent;
        if (count) {
            PyObject* args[] = {con, file.get(), names.int_0, count.get()};
            sent = Ref::steal(vectorcall_method(names.sendfile, args, 4 | offset_arguments, nullptr));
        }
        // Closed on every path, the send's error kept first.
        if (!close_file(file.get()) || !sent) return false;
    }
    return r->data_remove != 1 || remove_if_exists(path.get());
}

bool send_response(PyObject* con, const HttpObject* http) {
    if (http->data_size != 0) {
        Ref head = Ref::steal(compose(http, http->data_size, {}));
        return head && send_bytes(con, head.get()) && send_file(con, http);
    }
    std::string_view text = http->text.view();
    Ref response = Ref::steal(compose(http, text.size(), text));
    return response && send_bytes(con, response.get());
}

}  // namespace

bool respond(PyObject* app, Connection& c, HttpObject* http) {
    PyObject* con = c.con;
    // The receive limits end here. A peer that never reads must not pin the
    // thread either: each send may wait for progress at most this long.
    if (!call_method1(con, names.settimeout, names.int_60)) return false;
    if (!call_method1(app, names.route, reinterpret_cast<PyObject*>(http))) return false;
    if (!send_response(con, http)) {
        c.close_after_error = true;  // a stalled or broken peer is not kept
        return false;
    }
    return close_connection(c) && remove_upload(http);
}

}  // namespace zelweb
