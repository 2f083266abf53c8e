// Dispatch to the application and the response on the wire.
#include "connection/respond.hpp"

#include <cstring>

#include "connection/compose.hpp"
#include "py/call.hpp"
#include "py/files.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

bool file_response(const HttpObject* r) { return r->data_size != 0; }

bool send_last(Channel& channel, PyObject* bytes) {
    return channel.send_last(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

// Sends exactly data_size bytes of the file (fewer if it has become shorter).
bool send_file(Channel& channel, const HttpObject* r) {
    Ref path = Ref::steal(PyBytes_FromString(r->data_path));
    int found = path ? path_exists(path.get()) : -1;
    if (found <= 0) return found == 0;
    Ref file = open_file(path.get(), names.mode_rb);
    if (!file) return false;
    bool sent = channel.send_last_file(file.get(), r->data_size);
    // Closed on every path, the send's error kept first.
    return close_file(file.get()) && sent;
}

// A HEAD gets the head a GET would get; a status without a body gets none.
bool send_whole(Channel& channel, const HttpObject* http, std::string_view lines) {
    bool body = status_has_body(http->status) && std::strcmp(http->method, "HEAD") != 0;
    if (file_response(http)) {
        Ref head = compose_response(http, http->data_size, {}, lines);
        return head && send_last(channel, head.get()) && (!body || send_file(channel, http));
    }
    std::string_view text = http->text.view();
    Ref response = compose_response(http, text.size(), body ? text : std::string_view(), lines);
    return response && send_last(channel, response.get());
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

bool call_route(PyObject* app, Connection& c, HttpObject* http) {
    // The receive limits end here. A peer that never reads must not pin the
    // thread either: each send may wait for progress at most this long.
    return c.channel.set_send_timeout(names.send_timeout) &&
           call_method(app, names.route, as_object(http));
}

Outcome send_response(Connection& c, HttpObject* http, std::string_view lines) {
    c.sending = true;
    bool sent = send_whole(c.channel, http, lines);
    if (!remove_data_file(http) || !sent) return Outcome::failed;
    c.sending = false;
    return Outcome::done;
}

Outcome respond(PyObject* app, Connection& c, HttpObject* http) {
    if (!call_route(app, c, http)) return Outcome::failed;
    return send_response(c, http, close_line);
}

}  // namespace zelweb
