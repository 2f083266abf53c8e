// Query, header and cookie accessors; the method, any header, the peer.
#include <cstring>

#include "context/form_value.hpp"
#include "context/http_t.hpp"
#include "context/methods.hpp"
#include "parse/head.hpp"
#include "parse/pairs.hpp"
#include "parse/text.hpp"
#include "py/args.hpp"
#include "py/bytes.hpp"

namespace zelweb {

namespace {

// A value from a "; "-separated list, raw: no decoding.
Ref raw_lookup(std::string_view list, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return Ref();
    auto value = find_pair_value(list, "; ", key);
    return bytes_of(value ? *value : std::string_view());
}

std::string_view request_head(const HttpObject* r) {
    return r->request_head ? std::string_view(r->request_head, r->request_head_size)
                           : std::string_view();
}

}  // namespace

PyObject* http_t_c_url(PyObject* self, PyObject*) {
    return bytes_of(url_of(as_record(self))).release();
}

PyObject* http_t_c_path(PyObject* self, PyObject* arg) {
    std::string_view path;
    if (!text_arg(arg, path)) return nullptr;
    return PyLong_FromLong(url_of(as_record(self)) == path ? 1 : 0);
}

PyObject* http_t_c_get(PyObject* self, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return nullptr;
    auto value = find_pair_value(query_of(as_record(self)), "&", key);
    if (!value) return bytes_of({}).release();
    return decode_form_value(*value, "zelweb.http_t.c_get").release();
}

PyObject* http_t_c_get_cookie(PyObject* self, PyObject* arg) {
    const HttpObject* r = as_record(self);
    if (r->limits != Limits::extended || !r->request_head)
        return raw_lookup(field_text(r->cookie), arg).release();
    // serve reads the head as received: every Cookie line, whatever its
    // length, in order, as the one list they form.
    std::string_view key;
    if (!text_arg(arg, key)) return nullptr;
    std::optional<std::string_view> found;
    for_each_header_line(request_head(r), true, [&](std::string_view name, std::string_view value) {
        if (!found && header_name_is(name, "Cookie")) found = find_pair_value(value, "; ", key);
    });
    return bytes_of(found ? *found : std::string_view()).release();
}

PyObject* http_t_c_get_auth(PyObject* self, PyObject* arg) {
    return raw_lookup(field_text(as_record(self)->auth), arg).release();
}

PyObject* http_t_c_user_agent(PyObject* self, PyObject*) {
    return bytes_of(field_text(as_record(self)->user_agent)).release();
}

PyObject* http_t_c_method(PyObject* self, PyObject*) {
    return bytes_of(field_text(as_record(self)->method)).release();
}

// The head is kept as received and walked only when asked: serving a
// request that never looks costs nothing.
PyObject* http_t_c_header(PyObject* self, PyObject* arg) {
    std::string_view wanted;
    if (!text_arg(arg, wanted)) return nullptr;
    const HttpObject* r = as_record(self);
    if (r->authority && header_name_is(wanted, "host"))
        return bytes_of(std::string_view(r->authority, r->authority_size)).release();
    std::string_view head = request_head(r);
    size_t size = 0, count = 0;
    for_each_header_line(head, true, [&](std::string_view name, std::string_view value) {
        if (header_name_is(name, wanted)) size += (count++ ? 2 : 0) + value.size();
    });
    Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!joined) return nullptr;
    char* w = PyBytes_AS_STRING(joined.get());
    bool first = true;
    for_each_header_line(head, true, [&](std::string_view name, std::string_view value) {
        if (!header_name_is(name, wanted)) return;
        if (!first) {
            std::memcpy(w, ", ", 2);
            w += 2;
        }
        first = false;
        if (!value.empty()) std::memcpy(w, value.data(), value.size());
        w += value.size();
    });
    return joined.release();
}

PyObject* http_t_c_headers(PyObject* self, PyObject*) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    bool ok = true;
    for_each_header_line(request_head(as_record(self)), true,
                         [&](std::string_view name, std::string_view value) {
                             if (!ok) return;
                             Ref n = bytes_of(name);
                             Ref v = n ? bytes_of(value) : Ref();
                             Ref pair = v ? Ref::steal(PyTuple_Pack(2, n.get(), v.get())) : Ref();
                             ok = pair && PyList_Append(list.get(), pair.get()) == 0;
                         });
    return ok ? list.release() : nullptr;
}

PyObject* http_t_c_query(PyObject* self, PyObject*) {
    return bytes_of(query_of(as_record(self))).release();
}

PyObject* http_t_c_remote_addr(PyObject* self, PyObject*) {
    return bytes_of(field_text(as_record(self)->remote_addr)).release();
}

PyObject* http_t_c_remote_port(PyObject* self, PyObject*) {
    return PyLong_FromLong(as_record(self)->remote_port);
}

PyObject* http_t_c_scheme(PyObject* self, PyObject*) {
    return bytes_of(field_text(as_record(self)->scheme)).release();
}

}  // namespace zelweb
