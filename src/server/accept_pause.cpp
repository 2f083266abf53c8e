// The pause after an exhausted accept.
#include "server/accept_pause.hpp"

#include <Python.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "parse/limits.hpp"
#include "py/ref.hpp"

namespace zelweb {

namespace {

bool exhausted(const SavedError& error) {
    if (PyErr_GivenExceptionMatches(error.type(), PyExc_MemoryError)) return true;
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_OSError) || !error.value()) return false;
    Ref number = Ref::steal(PyObject_GetAttrString(error.value(), "errno"));
    long e = number && PyLong_Check(number.get()) ? PyLong_AsLong(number.get()) : 0;
    PyErr_Clear();
    return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM;
}

}  // namespace

void pause_if_exhausted() {
    SavedError error;
    if (error.empty()) return;
    bool wait = exhausted(error);
    error.restore_copy();
    if (!wait) return;
    Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::duration<double>(accept_pause_seconds));
    Py_END_ALLOW_THREADS
}

}  // namespace zelweb
