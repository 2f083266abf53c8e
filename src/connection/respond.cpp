// Dispatch to the application and the response on the wire.
#include "connection/respond.hpp"

#include <cstring>

#include "connection/compose.hpp"
#include "connection/file_response.hpp"
#include "connection/stream_response.hpp"
#include "py/call.hpp"
#include "py/files.hpp"
#include "py/names.hpp"

namespace zelweb {

namespace {

bool file_response(const HttpObject* r) { return r->data_size != 0; }

// Up to data_size bytes of the file (fewer if it has become shorter, none if
// it has gone), as the response's last bytes: the count, or -1 with an error
// set.
int64_t send_data_file(Channel& channel, const HttpObject* r) {
    Ref path = Ref::steal(PyBytes_FromString(r->data_path));
    int found = path ? path_exists(path.get()) : -1;
    if (found <= 0) return found == 0 ? 0 : -1;
    Ref file = open_file(path.get(), names.mode_rb);
    if (!file) return -1;
    int64_t sent = channel.send_last_file(file.get(), 0, r->data_size);
    // Closed on every path, the send's error kept first.
    return close_file(file.get()) ? sent : -1;
}

// A HEAD gets the head a GET would get; a status without a body gets none.
bool send_whole(Connection& c, HttpObject* http, std::string_view lines) {
    if (http->stream) return send_stream(c, http, lines);
    if (http->file_fd >= 0) return send_chosen_file(c, http, lines);
    bool body = status_has_body(http->status) && std::strcmp(http->method, "HEAD") != 0;
    c.sent_status = http->status;
    c.sent_body = 0;
    if (file_response(http)) {
        Ref head = compose_response(http, record_head(http, http->data_size, lines), {});
        if (!head || !c.channel.send_last_bytes(head.get())) return false;
        if (!body) return true;
        int64_t sent = send_data_file(c.channel, http);
        if (sent < 0) return false;
        c.sent_body = static_cast<uint64_t>(sent);
        c.body_cut_short = c.sent_body < http->data_size;
        return true;
    }
    std::string_view text = http->text.view();
    Ref response =
        compose_response(http, record_head(http, text.size(), lines), body ? text : std::string_view());
    if (!response || !c.channel.send_last_bytes(response.get())) return false;
    c.sent_body = body ? text.size() : 0;
    return true;
}

}  // namespace

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

bool call_route(PyObject* app, Connection& c, HttpObject* http) {
    // The receive limits end here. A peer that never reads must not pin the
    // thread either: each send may wait for progress at most this long.
    return c.channel.set_send_timeout(names.send_timeout) &&
           call_method(app, names.route, as_object(http));
}

Outcome send_response(Connection& c, HttpObject* http, std::string_view lines) {
    c.sending = true;
    bool sent = send_whole(c, http, lines);
    if (!remove_data_file(http) || !sent) return Outcome::failed;
    c.sending = false;
    return Outcome::done;
}

Outcome respond(PyObject* app, Connection& c, HttpObject* http) {
    if (!call_route(app, c, http)) return Outcome::failed;
    return send_response(c, http, close_line);
}

}  // namespace zelweb
