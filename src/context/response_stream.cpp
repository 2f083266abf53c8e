// c_stream: an iterable of bytes-like pieces as the body, each sent as it
// is produced. The record keeps the iterable and its iterator until the
// response has been sent or the request ends, and closes it either way.
#include "context/http_t.hpp"
#include "context/methods.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

// close() of a stream already taken off its record (code it runs may reach
// the record), then its references dropped.
void close_detached(PyObject* stream, PyObject* iterator) {
    SavedError pending;
    Ref close = Ref::steal(PyObject_GetAttr(stream, names.close));
    if (!close) {
        PyErr_Clear();  // nothing to close
    } else if (!Ref::steal(PyObject_CallObject(close.get(), nullptr))) {
        report_ignored_in("zelweb.http_t.c_stream");
    }
    Py_XDECREF(iterator);
    Py_DECREF(stream);
    if (!pending.empty()) pending.restore_copy();
}

}  // namespace

void release_stream(HttpObject* r) {
    if (!r->stream) return;
    PyObject* stream = r->stream;
    PyObject* iterator = r->stream_iterator;
    r->stream = r->stream_iterator = nullptr;
    close_detached(stream, iterator);
}

PyObject* http_t_c_stream(PyObject* self, PyObject* arg) {
    Ref iterator = Ref::steal(PyObject_GetIter(arg));
    if (!iterator) return nullptr;
    HttpObject* r = as_record(self);
    PyObject* old_stream = r->stream;
    PyObject* old_iterator = r->stream_iterator;
    Py_INCREF(arg);
    r->stream = arg;
    r->stream_iterator = iterator.release();
    // The last body chosen is the one sent.
    close_chosen_file(r);
    if (old_stream) close_detached(old_stream, old_iterator);
    Py_RETURN_NONE;
}

}  // namespace zelweb
