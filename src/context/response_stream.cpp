// c_stream: an iterable of bytes-like pieces as the body, each sent as it
// is produced. The record keeps the iterable and its iterator until the
// response has been sent or the request ends, and closes it either way.
#include "context/http_t.hpp"
#include "context/methods.hpp"
#include "py/ref.hpp"
#include "py/report.hpp"

namespace zelweb {

void release_stream(HttpObject* r) {
    if (!r->stream) return;
    // Taken off the record first: close() may run code that reaches it.
    PyObject* stream = r->stream;
    PyObject* iterator = r->stream_iterator;
    r->stream = r->stream_iterator = nullptr;
    SavedError pending;
    Ref close = Ref::steal(PyObject_GetAttrString(stream, "close"));
    if (!close) {
        PyErr_Clear();  // nothing to close
    } else if (!Ref::steal(PyObject_CallObject(close.get(), nullptr))) {
        report_ignored_in("zelweb.http_t.c_stream");
    }
    Py_XDECREF(iterator);
    Py_DECREF(stream);
    if (!pending.empty()) pending.restore_copy();
}

PyObject* http_t_c_stream(PyObject* self, PyObject* arg) {
    Ref iterator = Ref::steal(PyObject_GetIter(arg));
    if (!iterator) return nullptr;
    HttpObject* r = as_record(self);
    release_stream(r);
    // The last body chosen is the one sent.
    close_chosen_file(r);
    Py_INCREF(arg);
    r->stream = arg;
    r->stream_iterator = iterator.release();
    Py_RETURN_NONE;
}

}  // namespace zelweb
