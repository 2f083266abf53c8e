// The environment: a copy of the template, the request's own values, and a
// key for every header line.
#include "wsgi/environ.hpp"

#include <cstdio>
#include <cstring>

#include "parse/authority.hpp"
#include "parse/cgi_name.hpp"
#include "parse/head.hpp"
#include "parse/limits.hpp"
#include "parse/percent.hpp"
#include "wsgi/file_wrapper.hpp"
#include "wsgi/names.hpp"

namespace zelweb {

namespace {

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeLatin1(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

bool put(PyObject* dict, PyObject* key, PyObject* value) {
    return value && PyDict_SetItem(dict, key, value) == 0;
}

bool put(PyObject* dict, PyObject* key, const Ref& value) { return put(dict, key, value.get()); }

// A str of `bytes`, the one in `cache` when it holds the same text (a
// client sends the same values request after request); a new one is
// cached in its place when short.
Ref cached_text(PyObject*& cache, std::string_view bytes) {
    if (cache && static_cast<size_t>(PyUnicode_GET_LENGTH(cache)) == bytes.size() &&
        std::memcmp(PyUnicode_1BYTE_DATA(cache), bytes.data(), bytes.size()) == 0)
        return Ref::incref(cache);
    Ref made = text(bytes);
    if (made && bytes.size() <= cached_value_limit) {
        Py_XDECREF(cache);
        cache = made.get();
        Py_INCREF(cache);
    }
    return made;
}

// The keys of header names, interned the first time each is seen, each
// with the last value seen: a few hundred names at most, so that a
// hostile client cannot grow it.
class HeaderKeys {
public:
    struct Found {
        PyObject* key;     // borrowed, or in `made`
        PyObject** value;  // the key's value cache; null for a key not in the table
    };

    // Null key with an error set.
    Found key(std::string_view name, Ref& made) {
        char bytes[cgi_key_capacity];
        size_t size = cgi_header_key(name, bytes, sizeof bytes);
        if (size == 0) return {long_key(name, made), nullptr};
        uint32_t hash = 2166136261u;
        for (size_t i = 0; i < size; ++i)
            hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
        for (size_t i = hash % slots, probes = 0; probes < slots; i = (i + 1) % slots, ++probes) {
            Slot& s = table_[i];
            if (!s.key) {
                if (used_ * 4 >= slots * 3) break;  // full enough: no more entries
                PyObject* key = PyUnicode_FromStringAndSize(bytes, static_cast<Py_ssize_t>(size));
                if (!key) return {nullptr, nullptr};
                PyUnicode_InternInPlace(&key);
                s.hash = hash;
                s.size = static_cast<uint8_t>(size);
                std::memcpy(s.text, bytes, size);
                s.key = key;
                ++used_;
                return {key, &s.value};
            }
            if (s.hash == hash && s.size == size && std::memcmp(s.text, bytes, size) == 0)
                return {s.key, &s.value};
        }
        made = Ref::steal(PyUnicode_FromStringAndSize(bytes, static_cast<Py_ssize_t>(size)));
        return {made.get(), nullptr};
    }

private:
    PyObject* long_key(std::string_view name, Ref& made) {
        made = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(name.size() + 5), 127));
        if (!made) return nullptr;
        char* w = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(made.get()));
        std::memcpy(w, "HTTP_", 5);
        for (size_t i = 0; i < name.size(); ++i) {
            char c = name[i];
            w[5 + i] = c == '-' ? '_' : (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        }
        return made.get();
    }

    static constexpr size_t slots = 512;
    struct Slot {
        uint32_t hash;
        uint8_t size;
        char text[cgi_key_capacity];
        PyObject* key;    // interned, never freed
        PyObject* value;  // the last value, when short
    };
    Slot table_[slots] = {};
    size_t used_ = 0;
};

HeaderKeys header_keys;  // under the interpreter lock

// HTTP_* for every field line but the body's own (CONTENT_TYPE and
// CONTENT_LENGTH carry them) and names holding "_". Repeated lines are
// joined with "," ("; " for Cookie), as one line listing their values.
bool add_headers(PyObject* environ, std::string_view fields) {
    bool ok = true;
    for_each_header_line(fields, false, [&](std::string_view name, std::string_view value) {
        if (!ok || cgi_name_dropped(name) ||
            (name.size() == 12 && header_name_is(name, "content-type")) ||
            (name.size() == 14 && header_name_is(name, "content-length")))
            return;
        Ref made;
        HeaderKeys::Found found = header_keys.key(name, made);
        PyObject* key = found.key;
        Ref v = found.value ? cached_text(*found.value, value) : text(value);
        if (!key || !v) {
            ok = false;
            return;
        }
        PyObject* earlier = PyDict_GetItemWithError(environ, key);  // borrowed
        if (earlier) {
            PyObject* separator =
                key == wsgi_names.HTTP_COOKIE ? wsgi_names.cookie_separator : wsgi_names.comma;
            Ref joined = Ref::steal(PyUnicode_Concat(earlier, separator));
            v = joined ? Ref::steal(PyUnicode_Concat(joined.get(), v.get())) : Ref();
        } else if (PyErr_Occurred()) {
            ok = false;
            return;
        }
        ok = put(environ, key, v);
    });
    return ok;
}

// PATH_INFO: the path decoded, the root path cut from its front when it
// starts there at a segment's end.
Ref path_info(const RequestHead& head, std::string_view root) {
    if (head.form == TargetForm::asterisk) return Ref::incref(wsgi_names.empty);
    if (head.path == "/" && root.empty()) return Ref::incref(wsgi_names.slash);
    char decoded[head_capacity];  // a path is part of a head
    std::string_view path(decoded, percent_decode(head.path, decoded));
    if (!root.empty() && path.substr(0, root.size()) == root &&
        (path.size() == root.size() || path[root.size()] == '/'))
        path.remove_prefix(root.size());
    return text(path);
}

// SERVER_NAME and SERVER_PORT: the authority's (its port, or the scheme's),
// else the listening socket's. The last authority's pair is kept: it is
// the same request after request.
bool server_address(PyObject* environ, const EnvironInputs& in) {
    std::string_view authority = !in.host.empty()    ? in.host
                                 : in.head->has_host ? in.head->host
                                                     : std::string_view();
    if (authority.empty())
        return put(environ, wsgi_names.SERVER_NAME, in.server_name) &&
               put(environ, wsgi_names.SERVER_PORT, in.server_port);
    // Kept for the next request, never freed; under the interpreter lock.
    static PyObject *last_authority = nullptr, *last_name = nullptr, *last_port = nullptr;
    static bool last_https = false;
    if (last_authority && in.https == last_https &&
        static_cast<size_t>(PyUnicode_GET_LENGTH(last_authority)) == authority.size() &&
        std::memcmp(PyUnicode_1BYTE_DATA(last_authority), authority.data(), authority.size()) == 0)
        return put(environ, wsgi_names.SERVER_NAME, last_name) &&
               put(environ, wsgi_names.SERVER_PORT, last_port);
    Authority a = split_authority(authority);
    bool port_ok = !a.port.empty() && a.port.size() <= 5;
    for (char c : a.port) port_ok = port_ok && c >= '0' && c <= '9';
    Ref name = text(a.host);
    Ref port =
        port_ok ? text(a.port) : Ref::incref(in.https ? wsgi_names.port_443 : wsgi_names.port_80);
    if (!name || !port) return false;
    if (authority.size() <= cached_value_limit) {
        Ref whole = text(authority);
        if (!whole) return false;
        Py_XDECREF(last_authority);
        Py_XDECREF(last_name);
        Py_XDECREF(last_port);
        last_authority = whole.release();
        last_name = Ref::incref(name.get()).release();
        last_port = Ref::incref(port.get()).release();
        last_https = in.https;
    }
    return put(environ, wsgi_names.SERVER_NAME, name) && put(environ, wsgi_names.SERVER_PORT, port);
}

}  // namespace

Ref environ_template(PyObject* script_name, bool multiprocess, bool https) {
    const WsgiNames& n = wsgi_names;
    Ref environ = Ref::steal(PyDict_New());
    if (!environ) return environ;
    PyObject* d = environ.get();
    // Every key a request sets is here already, so that the copy has room
    // for them and setting one replaces a value rather than growing the dict.
    // The most common values stand in for the request's own: a request
    // replaces only those it differs in.
    PyObject* per_request[] = {n.REQUEST_METHOD, n.PATH_INFO,   n.SERVER_NAME, n.SERVER_PORT,
                               n.REMOTE_ADDR,    n.REMOTE_PORT, n.wsgi_input,  n.wsgi_errors};
    for (PyObject* key : per_request)
        if (!put(d, key, Py_None)) return Ref();
    bool ok = put(d, n.QUERY_STRING, n.empty) && put(d, n.SERVER_PROTOCOL, n.http_1_1) &&
              put(d, n.wsgi_url_scheme, https ? n.https : n.http) &&
              put(d, n.SCRIPT_NAME, script_name) && put(d, n.wsgi_version, n.version) &&
              put(d, n.wsgi_input_terminated, Py_True) && put(d, n.wsgi_multithread, Py_True) &&
              put(d, n.wsgi_multiprocess, multiprocess ? Py_True : Py_False) &&
              put(d, n.wsgi_run_once, Py_False) &&
              put(d, n.wsgi_file_wrapper, reinterpret_cast<PyObject*>(&file_wrapper_type));
    return ok ? std::move(environ) : Ref();
}

Ref build_environ(const EnvironInputs& in) {
    const WsgiNames& n = wsgi_names;
    const RequestHead& head = *in.head;
    Ref environ = Ref::steal(PyDict_Copy(in.base));
    if (!environ) return environ;
    PyObject* e = environ.get();
    PyObject* method = known_method(head.method);
    // The sys.stderr in place now, as the application's own code would find it.
    PyObject* errors = PyDict_GetItemWithError(n.sys_dict, n.stderr_);  // borrowed
    bool ok = put(e, n.REQUEST_METHOD, method ? Ref::incref(method) : text(head.method)) &&
              put(e, n.PATH_INFO, path_info(head, in.root_path)) && server_address(e, in) &&
              put(e, n.REMOTE_ADDR, in.remote_addr) && put(e, n.REMOTE_PORT, in.remote_port) &&
              put(e, n.wsgi_input, in.input) && !PyErr_Occurred() &&
              put(e, n.wsgi_errors, errors ? errors : Py_None);
    if (ok && !head.query.empty()) ok = put(e, n.QUERY_STRING, text(head.query));
    if (ok && head.protocol != "HTTP/1.1")
        ok = put(e, n.SERVER_PROTOCOL,
                 head.protocol == "HTTP/1.0" ? Ref::incref(n.http_1_0) : text(head.protocol));
    if (ok && in.https != in.base_https)
        ok = put(e, n.wsgi_url_scheme, in.https ? n.https : n.http);
    if (ok && !head.content_type.empty()) ok = put(e, n.CONTENT_TYPE, text(head.content_type));
    if (ok && head.framing.kind == BodyFraming::Kind::length) {
        char digits[24];
        int size = std::snprintf(digits, sizeof digits, "%llu",
                                 static_cast<unsigned long long>(head.framing.length));
        ok = put(e, n.CONTENT_LENGTH, text(std::string_view(digits, static_cast<size_t>(size))));
    }
    if (ok) ok = add_headers(e, head.fields);
    if (ok && !in.host.empty()) ok = put(e, n.HTTP_HOST, text(in.host));
    return ok ? std::move(environ) : Ref();
}

}  // namespace zelweb
