// start_response: the status and headers checked, then the head's first
// lines composed in one buffer that the server's lines are appended to.
#include "wsgi/start_response.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "parse/head.hpp"
#include "parse/limits.hpp"
#include "py/compat.hpp"

namespace zelweb {

namespace {

struct StartResponseObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    ResponseSink* sink;  // null once the request has ended
    ResponseStart start;
    char* head;  // the composed head, `size` bytes of `capacity`
    size_t size, capacity;
};

StartResponseObject* as_start(PyObject* self) {
    return reinterpret_cast<StartResponseObject*>(self);
}

constexpr std::string_view status_prefix = "HTTP/1.1 ";
// Room kept after the application's lines for the server's own.
constexpr size_t server_lines_room = 256;

// What the server must know of a header name, found by its length first.
enum class Known { other, hop_by_hop, content_length, date, server };

// A token compared with a lower-case name: setting bit 0x20 lowers a letter
// and maps no other token byte onto a letter or '-'.
bool token_is(std::string_view token, const char* lower) {
    for (char c : token)
        if ((c | 0x20) != *lower++) return false;
    return true;
}

Known known_header(std::string_view name) {
    auto is = [&](const char* lower) { return token_is(name, lower); };
    switch (name.size()) {
        case 2: return is("te") ? Known::hop_by_hop : Known::other;
        case 4: return is("date") ? Known::date : Known::other;
        case 6: return is("server") ? Known::server : Known::other;
        case 7: return is("upgrade") || is("trailer") ? Known::hop_by_hop : Known::other;
        case 8: return is("trailers") ? Known::hop_by_hop : Known::other;
        case 10: return is("connection") || is("keep-alive") ? Known::hop_by_hop : Known::other;
        case 14: return is("content-length") ? Known::content_length : Known::other;
        case 17: return is("transfer-encoding") ? Known::hop_by_hop : Known::other;
        case 18: return is("proxy-authenticate") ? Known::hop_by_hop : Known::other;
        case 19: return is("proxy-authorization") ? Known::hop_by_hop : Known::other;
        default: return Known::other;
    }
}

// The Latin-1 bytes of a str, without a copy: every character of a
// compact one-byte str is its own byte.
bool latin1(PyObject* text, std::string_view& out) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return false;
#endif
    if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) return false;
    out = std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    return true;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// The status: three digits from 200 to 599 (an informational status is no
// response, and a client would wait for the one to follow), a space, a
// reason without control bytes.
bool read_status(PyObject* status, std::string_view& text, unsigned& code) {
    if (!PyUnicode_Check(status)) {
        PyErr_Format(PyExc_TypeError, "start_response() status must be str, not %.100s",
                     Py_TYPE(status)->tp_name);
        return false;
    }
    bool ok = latin1(status, text) && text.size() >= 4 && text[0] >= '2' && text[0] <= '5' &&
              digit(text[1]) && digit(text[2]) && text[3] == ' ';
    for (size_t i = 4; ok && i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        ok = (c >= 0x20 || c == '\t') && c != 0x7F;
    }
    if (!ok) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError,
                         "start_response() status must be three digits from 200 to 599, a "
                         "space and a reason, not %R",
                         status);
        return false;
    }
    code = static_cast<unsigned>((text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0'));
    return true;
}

bool header_error(PyObject* name, const char* why) {
    PyErr_Format(PyExc_ValueError, "response header %R %s", name, why);
    return false;
}

// One (name, value) pair checked; what the server needs of it noted in
// `start`. False with TypeError or ValueError set.
bool check_header(PyObject* item, Py_ssize_t index, std::string_view& name, std::string_view& value,
                  ResponseStart& start, bool& skip, Known& known) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(item, 0)) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(item, 1))) {
        PyErr_Format(PyExc_TypeError,
                     "start_response() header %zd must be a (name, value) tuple of str, not %R",
                     index, item);
        return false;
    }
    PyObject* n = PyTuple_GET_ITEM(item, 0);
    if (!latin1(n, name) || !is_token(name))
        return PyErr_Occurred() ? false : header_error(n, "is not a valid header name (a token)");
    known = known_header(name);
    if (known == Known::hop_by_hop)
        return header_error(n, "is hop-by-hop: the server sets the connection's headers");
    if (!latin1(PyTuple_GET_ITEM(item, 1), value))
        return PyErr_Occurred() ? false : header_error(n, "has a value that is not Latin-1");
    for (char c : value)
        if (c == '\r' || c == '\n' || c == '\0')
            return header_error(n, "has a CR, LF or NUL in its value");
    skip = false;
    switch (known) {
        case Known::content_length: {
            std::string_view digits = trim_blanks(value);
            uint64_t length = 0;
            bool ok = !digits.empty() && digits.size() <= 18;
            for (char c : digits) {
                ok = ok && digit(c);
                length = length * 10 + static_cast<uint64_t>(c - '0');
            }
            if (!ok) return header_error(n, "must be a number of bytes");
            if (start.has_length && start.length != length)
                return header_error(n, "is given twice with different values");
            skip = start.has_length;  // the same value again says nothing more
            start.has_length = true;
            start.length = length;
            break;
        }
        case Known::date: start.has_date = true; break;
        case Known::server: start.has_server = true; break;
        default: break;
    }
    return true;
}

// start_response(status, headers, exc_info=None).
bool start(StartResponseObject* s, PyObject* status, PyObject* headers, PyObject* exc_info) {
    if (!s->sink) {
        PyErr_SetString(PyExc_ValueError, "start_response() of a request that has ended");
        return false;
    }
    if (exc_info && exc_info != Py_None) {
        if (!PyTuple_Check(exc_info) || PyTuple_GET_SIZE(exc_info) != 3 ||
            !PyExceptionClass_Check(PyTuple_GET_ITEM(exc_info, 0)) ||
            !PyExceptionInstance_Check(PyTuple_GET_ITEM(exc_info, 1))) {
            PyErr_SetString(PyExc_TypeError,
                            "start_response() exc_info must be a (type, value, traceback) tuple "
                            "as sys.exc_info() gives");
            return false;
        }
        if (s->sink->head_sent()) {
            // Too late to replace the head: the error goes back to the application.
            // Raised with its own traceback, as `raise value.with_traceback(tb)`.
            PyObject* value = PyTuple_GET_ITEM(exc_info, 1);
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
            PyObject* tb = PyTuple_GET_ITEM(exc_info, 2);
            tb = PyTraceBack_Check(tb) ? tb : nullptr;
            Py_INCREF(type);
            Py_INCREF(value);
            Py_XINCREF(tb);
            PyErr_Restore(type, value, tb);
            return false;
        }
    } else if (s->start.called) {
        PyErr_SetString(PyExc_RuntimeError,
                        "start_response() was already called: only a call with exc_info may "
                        "replace the head");
        return false;
    }
    std::string_view status_text;
    ResponseStart next;
    next.called = true;
    if (!read_status(status, status_text, next.status)) return false;
    if (!PyList_Check(headers)) {
        PyErr_Format(PyExc_TypeError, "start_response() headers must be a list, not %.100s",
                     Py_TYPE(headers)->tp_name);
        return false;
    }
    // First every pair checked and measured, so that a refusal leaves the
    // head as it was; then written, from the views kept (the first ones).
    struct Line {
        std::string_view name, value;
        bool skip;
        Known known;
    };
    constexpr Py_ssize_t kept_lines = 32;
    Line lines[kept_lines];
    Py_ssize_t count = PyList_GET_SIZE(headers);
    size_t size = status_prefix.size() + status_text.size() + 2;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Line l;
        if (!check_header(PyList_GET_ITEM(headers, i), i, l.name, l.value, next, l.skip, l.known))
            return false;
        if (!l.skip) size += l.name.size() + l.value.size() + 4;
        if (i < kept_lines) lines[i] = l;
    }
    if (size > response_head_limit) {
        PyErr_Format(PyExc_ValueError, "start_response(): the response head is over %zu bytes",
                     response_head_limit);
        return false;
    }
    if (s->capacity < size + server_lines_room) {
        char* grown = static_cast<char*>(std::realloc(s->head, size + server_lines_room));
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        s->head = grown;
        s->capacity = size + server_lines_room;
    }
    char* w = s->head;
    char* const end = s->head + size;  // what was measured bounds what is written
    auto put = [&](std::string_view text) {
        size_t n = std::min(text.size(), static_cast<size_t>(end - w));
        std::memcpy(w, text.data(), n);
        w += n;
    };
    put(status_prefix);
    put(status_text);
    put("\r\n");
    // Beyond the kept views each pair is read again; a Content-Length after
    // the one written is the same value again, dropped as it was measured.
    ResponseStart seen;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Line l;
        if (i < kept_lines) {
            l = lines[i];
            if (!l.skip && l.known == Known::content_length) {
                seen.has_length = true;
                seen.length = next.length;
            }
        } else {
            check_header(PyList_GET_ITEM(headers, i), i, l.name, l.value, seen, l.skip, l.known);
        }
        if (l.skip) continue;
        put(l.name);
        put(": ");
        put(l.value);
        put("\r\n");
    }
    s->size = static_cast<size_t>(w - s->head);
    s->start = next;
    return true;
}

PyObject* write_bytes(PyObject* self, PyObject* data) {
    StartResponseObject* s = as_start(self);
    if (!s->sink) {
        PyErr_SetString(PyExc_ValueError, "write() of a request that has ended");
        return nullptr;
    }
    if (!PyBytes_Check(data)) {
        PyErr_Format(PyExc_TypeError, "write() argument must be bytes, not %.100s",
                     Py_TYPE(data)->tp_name);
        return nullptr;
    }
    if (!s->sink->write(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data))))
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef write_def = {"write", write_bytes, METH_O,
                         "write(data) -> None: sends body bytes at once."};

PyObject* start_response_call(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* given[3] = {nullptr, nullptr, nullptr};
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "start_response() takes at most 3 arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
    static const char* const keywords[] = {"status", "headers", "exc_info"};
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int j = 0; j < 3; ++j)
            if (PyUnicode_CompareWithASCIIString(key, keywords[j]) == 0) slot = j;
        if (slot < 0 || given[slot]) {
            PyErr_Format(PyExc_TypeError,
                         "start_response() got an unexpected or repeated "
                         "keyword argument %R",
                         key);
            return nullptr;
        }
        given[slot] = args[nargs + k];
    }
    if (!given[0] || !given[1]) {
        PyErr_SetString(PyExc_TypeError, "start_response() needs a status and a list of headers");
        return nullptr;
    }
    if (!start(as_start(self), given[0], given[1], given[2])) return nullptr;
    return PyCFunction_NewEx(&write_def, self, nullptr);
}

void start_response_dealloc(PyObject* self) {
    std::free(as_start(self)->head);
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyTypeObject start_response_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

Ref new_start_response(ResponseSink* sink) {
    Ref obj = Ref::steal(PyType_GenericAlloc(&start_response_type, 0));
    if (obj) {
        StartResponseObject* s = as_start(obj.get());
        s->vectorcall = start_response_call;
        s->sink = sink;
        new (&s->start) ResponseStart();
    }
    return obj;
}

void lend_start_response(PyObject* obj, ResponseSink* sink) {
    StartResponseObject* s = as_start(obj);
    s->sink = sink;
    s->start = ResponseStart();
    s->size = 0;
}

const ResponseStart& response_start(PyObject* obj) { return as_start(obj)->start; }

std::string_view response_head(PyObject* obj) {
    StartResponseObject* s = as_start(obj);
    return std::string_view(s->head, s->size);
}

bool append_to_head(PyObject* obj, std::string_view lines) {
    StartResponseObject* s = as_start(obj);
    if (s->capacity - s->size < lines.size()) {
        char* grown = static_cast<char*>(std::realloc(s->head, s->size + lines.size()));
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        s->head = grown;
        s->capacity = s->size + lines.size();
    }
    std::memcpy(s->head + s->size, lines.data(), lines.size());
    s->size += lines.size();
    return true;
}

void end_start_response(PyObject* obj) { as_start(obj)->sink = nullptr; }

bool ready_start_response_type() {
    PyTypeObject& t = start_response_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return true;
    t.tp_name = "zelweb.StartResponse";
    t.tp_basicsize = sizeof(StartResponseObject);
    t.tp_dealloc = start_response_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | ZELWEB_TPFLAGS_HAVE_VECTORCALL;
    t.tp_vectorcall_offset = offsetof(StartResponseObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_doc = "start_response(status, headers, exc_info=None) -> write";
    return PyType_Ready(&t) == 0;
}

}  // namespace zelweb
