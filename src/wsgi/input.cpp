// The wsgi.input stream. Reads fill bytes objects straight from the body
// source; only readline keeps a read-ahead buffer, since a line's end can
// only be found by reading past what it returns.
#include "wsgi/input.hpp"

#include <cstdlib>
#include <cstring>

#include "parse/limits.hpp"

namespace zelweb {

namespace {

struct InputObject {
    PyObject_HEAD BodyStream* source;  // null once the request has ended
    char* ahead;                       // readline's read-ahead, input_readahead bytes
    size_t start, end;                 // its unread bytes
    bool at_end;                       // the body's end was read
};

InputObject* as_input(PyObject* self) { return reinterpret_cast<InputObject*>(self); }

bool ended(InputObject* s) {
    if (s->source) return false;
    PyErr_SetString(PyExc_ValueError, "wsgi.input of a request that has ended");
    return true;
}

// A size argument: None or a negative int mean "no bound".
bool size_arg(PyObject* const* args, Py_ssize_t nargs, const char* name, Py_ssize_t& size) {
    size = -1;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument (%zd given)", name, nargs);
        return false;
    }
    if (nargs == 0 || args[0] == Py_None) return true;
    if (!PyLong_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "%s() argument must be an int or None, not %.100s", name,
                     Py_TYPE(args[0])->tp_name);
        return false;
    }
    size = PyLong_AsSsize_t(args[0]);
    return !(size == -1 && PyErr_Occurred());
}

// Bytes gathered into one object that grows by doubling: a client's
// length never decides how much is allocated before its bytes came.
class Gathered {
public:
    explicit Gathered(size_t want) : want_(want) {}
    // Room for more, up to `want`; false with MemoryError set.
    bool grow() {
        size_t have = bytes_ ? static_cast<size_t>(PyBytes_GET_SIZE(bytes_.get())) : 0;
        size_t size = have == 0 ? (want_ < first_size ? want_ : first_size)
                                : (want_ - have < have ? want_ : have * 2);
        if (!bytes_) {
            bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
            return static_cast<bool>(bytes_);
        }
        PyObject* b = bytes_.release();
        if (_PyBytes_Resize(&b, static_cast<Py_ssize_t>(size)) < 0) return false;
        bytes_ = Ref::steal(b);
        return true;
    }
    char* free_space() { return PyBytes_AS_STRING(bytes_.get()) + used_; }
    size_t room() const {
        return bytes_ ? static_cast<size_t>(PyBytes_GET_SIZE(bytes_.get())) - used_ : 0;
    }
    bool full() const { return used_ == want_; }
    size_t left() const { return want_ - used_; }
    bool add(const char* data, size_t size) {
        while (room() < size)
            if (!grow()) return false;
        std::memcpy(free_space(), data, size);
        used_ += size;
        return true;
    }
    void count(size_t n) { used_ += n; }
    // The bytes gathered, the object cut to their size.
    PyObject* finish() {
        if (!bytes_) return PyBytes_FromStringAndSize(nullptr, 0);
        PyObject* b = bytes_.release();
        if (static_cast<size_t>(PyBytes_GET_SIZE(b)) != used_ &&
            _PyBytes_Resize(&b, static_cast<Py_ssize_t>(used_)) < 0)
            return nullptr;
        return b;
    }

private:
    static constexpr size_t first_size = 64 * 1024;
    size_t want_, used_ = 0;
    Ref bytes_;
};

// Reads from the source into `g` until it is full or the body ends.
bool fill(InputObject* s, Gathered& g) {
    while (!g.full() && !s->at_end) {
        if (g.room() == 0 && !g.grow()) return false;
        size_t want = g.room() < g.left() ? g.room() : g.left();
        Py_ssize_t n = s->source->read(g.free_space(), want);
        if (n < 0) return false;
        if (n == 0) s->at_end = true;
        g.count(static_cast<size_t>(n));
    }
    return true;
}

// What the read-ahead holds, moved into `g` (up to its want).
bool take_ahead(InputObject* s, Gathered& g) {
    size_t n = s->end - s->start;
    if (n > g.left()) n = g.left();
    if (n == 0) return true;
    if (!g.add(s->ahead + s->start, n)) return false;
    s->start += n;
    return true;
}

PyObject* input_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    InputObject* s = as_input(self);
    Py_ssize_t size;
    if (!size_arg(args, nargs, "read", size) || ended(s)) return nullptr;
    Gathered g(size < 0 ? SIZE_MAX : static_cast<size_t>(size));
    if (!take_ahead(s, g) || !fill(s, g)) return nullptr;
    return g.finish();
}

// The next line, its LF included, or `limit` bytes of it.
PyObject* read_line(InputObject* s, size_t limit) {
    Gathered g(limit);
    while (!g.full()) {
        if (s->start == s->end) {
            if (s->at_end) break;
            if (!s->ahead) {
                s->ahead = static_cast<char*>(std::malloc(input_readahead));
                if (!s->ahead) return PyErr_NoMemory();
            }
            Py_ssize_t n = s->source->read(s->ahead, input_readahead);
            if (n < 0) return nullptr;
            s->start = 0;
            s->end = static_cast<size_t>(n);
            if (n == 0) {
                s->at_end = true;
                break;
            }
        }
        size_t n = s->end - s->start;
        if (n > g.left()) n = g.left();
        const void* lf = std::memchr(s->ahead + s->start, '\n', n);
        if (lf) n = static_cast<size_t>(static_cast<const char*>(lf) - (s->ahead + s->start)) + 1;
        // A line within the read-ahead, the usual case, is one copy.
        if (!g.add(s->ahead + s->start, n)) return nullptr;
        s->start += n;
        if (lf) break;
    }
    return g.finish();
}

PyObject* input_readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    InputObject* s = as_input(self);
    Py_ssize_t size;
    if (!size_arg(args, nargs, "readline", size) || ended(s)) return nullptr;
    return read_line(s, size < 0 ? SIZE_MAX : static_cast<size_t>(size));
}

PyObject* input_readlines(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    InputObject* s = as_input(self);
    Py_ssize_t hint;
    if (!size_arg(args, nargs, "readlines", hint) || ended(s)) return nullptr;
    Ref lines = Ref::steal(PyList_New(0));
    if (!lines) return nullptr;
    size_t total = 0;
    for (;;) {
        Ref line = Ref::steal(read_line(s, SIZE_MAX));
        if (!line) return nullptr;
        if (PyBytes_GET_SIZE(line.get()) == 0) break;
        if (PyList_Append(lines.get(), line.get()) < 0) return nullptr;
        total += static_cast<size_t>(PyBytes_GET_SIZE(line.get()));
        if (hint > 0 && total >= static_cast<size_t>(hint)) break;
    }
    return lines.release();
}

PyObject* input_next(PyObject* self) {
    InputObject* s = as_input(self);
    if (ended(s)) return nullptr;
    PyObject* line = read_line(s, SIZE_MAX);
    if (line && PyBytes_GET_SIZE(line) == 0) {
        Py_DECREF(line);
        return nullptr;  // the end: StopIteration
    }
    return line;
}

void input_dealloc(PyObject* self) {
    std::free(as_input(self)->ahead);
    Py_TYPE(self)->tp_free(self);
}

template <typename F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef input_methods[] = {
    {"read", as_cfunction(input_read), METH_FASTCALL, "read(size=-1) -> bytes"},
    {"readline", as_cfunction(input_readline), METH_FASTCALL, "readline(size=-1) -> bytes"},
    {"readlines", as_cfunction(input_readlines), METH_FASTCALL, "readlines(hint=-1) -> list"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject input_stream_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyObject* body_too_large_error = nullptr;

Ref new_input_stream(BodyStream* source) {
    Ref obj = Ref::steal(PyType_GenericAlloc(&input_stream_type, 0));
    if (obj) as_input(obj.get())->source = source;
    return obj;
}

void lend_input_stream(PyObject* stream, BodyStream* source) {
    InputObject* s = as_input(stream);
    s->source = source;
    s->at_end = false;
}

void end_input_stream(PyObject* stream) {
    InputObject* s = as_input(stream);
    s->source = nullptr;
    std::free(s->ahead);
    s->ahead = nullptr;
    s->start = s->end = 0;
}

bool ready_input_stream_type() {
    PyTypeObject& t = input_stream_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return true;
    t.tp_name = "zelweb.InputStream";
    t.tp_basicsize = sizeof(InputObject);
    t.tp_dealloc = input_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "The request body as it arrives (wsgi.input).";
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = input_next;
    t.tp_methods = input_methods;
    return PyType_Ready(&t) == 0;
}

}  // namespace zelweb
