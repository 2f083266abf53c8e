// Dispatch to the application and the response on the wire.
#include "connection/respond.hpp"

#include "connection/compose.hpp"
#include "connection/socket_io.hpp"
#include "py/call.hpp"
#include "py/files.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

// Sends exactly data_size bytes of the file (fewer if it has become shorter)
// through the socket's own sendfile, then removes it when asked to.
bool send_file(PyObject* con, const HttpObject* r) {
    Ref path = Ref::steal(PyBytes_FromString(r->data_path));
    int found = path ? path_exists(path.get()) : -1;
    if (found < 0) return false;
    if (found) {
        Ref file = open_file(path.get(), names.mode_rb);
        if (!file) return false;
        Ref count = Ref::steal(PyLong_FromUnsignedLong(r->data_size));
        Ref sent =
            count ? call_method(con, names.sendfile, file.get(), names.int_0, count.get()) : Ref();
        // Closed on every path, the send's error kept first.
        if (!close_file(file.get()) || !sent) return false;
    }
    return r->data_remove != 1 || remove_if_exists(path.get());
}

bool send_response(PyObject* con, const HttpObject* http) {
    if (http->data_size != 0) {
        Ref head = compose_response(http, http->data_size, {});
        return head && send_bytes(con, head.get()) && send_file(con, http);
    }
    std::string_view text = http->text.view();
    Ref response = compose_response(http, text.size(), text);
    return response && send_bytes(con, response.get());
}

}  // namespace

Outcome respond(PyObject* app, Connection& c, HttpObject* http) {
    PyObject* con = c.con;
    // The receive limits end here. A peer that never reads must not pin the
    // thread either: each send may wait for progress at most this long.
    if (!call_method(con, names.settimeout, names.send_timeout)) return Outcome::failed;
    if (!call_method(app, names.route, as_object(http))) return Outcome::failed;
    c.sending = true;
    if (!send_response(con, http)) return Outcome::failed;
    c.sending = false;
    return Outcome::done;
}

}  // namespace zelweb
