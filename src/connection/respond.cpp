// Dispatch to the application and the response on the wire.
#include "connection/respond.hpp"

#include <cstring>

#include "connection/compose.hpp"
#include "connection/socket_io.hpp"
#include "py/call.hpp"
#include "py/files.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

bool file_response(const HttpObject* r) { return r->data_size != 0; }

// Sends exactly data_size bytes of the file (fewer if it has become shorter)
// through the socket's own sendfile.
bool send_file(PyObject* con, const HttpObject* r) {
    Ref path = Ref::steal(PyBytes_FromString(r->data_path));
    int found = path ? path_exists(path.get()) : -1;
    if (found <= 0) return found == 0;
    Ref file = open_file(path.get(), names.mode_rb);
    if (!file) return false;
    Ref count = Ref::steal(PyLong_FromUnsignedLong(r->data_size));
    Ref sent =
        count ? call_method(con, names.sendfile, file.get(), names.int_0, count.get()) : Ref();
    // Closed on every path, the send's error kept first.
    return close_file(file.get()) && sent;
}

// A HEAD gets the head a GET would get; a status without a body gets none.
bool send_response(PyObject* con, const HttpObject* http) {
    bool body = status_has_body(http->status) && std::strcmp(http->method, "HEAD") != 0;
    if (file_response(http)) {
        Ref head = compose_response(http, http->data_size, {});
        return head && send_bytes(con, head.get()) && (!body || send_file(con, http));
    }
    std::string_view text = http->text.view();
    Ref response = compose_response(http, text.size(), body ? text : std::string_view());
    return response && send_bytes(con, response.get());
}

// The file chosen with c_data_r goes however its response ended: sent whole
// or cut short. An error already pending is kept.
bool remove_data_file(const HttpObject* http) {
    if (!file_response(http) || http->data_remove != 1) return true;
    SavedError pending;
    Ref path = Ref::steal(PyBytes_FromString(http->data_path));
    bool removed = path && remove_if_exists(path.get());
    if (pending.empty()) return removed;
    PyErr_Clear();
    pending.restore_copy();
    return false;
}

}  // namespace

Outcome respond(PyObject* app, Connection& c, HttpObject* http) {
    PyObject* con = c.con;
    // The receive limits end here. A peer that never reads must not pin the
    // thread either: each send may wait for progress at most this long.
    if (!call_method(con, names.settimeout, names.send_timeout)) return Outcome::failed;
    if (!call_method(app, names.route, as_object(http))) return Outcome::failed;
    c.sending = true;
    bool sent = send_response(con, http);
    if (!remove_data_file(http) || !sent) return Outcome::failed;
    c.sending = false;
    return Outcome::done;
}

}  // namespace zelweb
