// Traceback entries and the twofold report of ignored exceptions.
#include "module/report.hpp"

#include <frameobject.h>

#include "module/ref.hpp"

namespace zelweb {

void add_traceback(const char* function, const char* file, int line) {
    SavedError error;  // the frame must be made with no exception set
    Ref globals = Ref::steal(PyDict_New());
    Ref code;
    if (globals) code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)));
    PyFrameObject* frame = nullptr;
    if (code)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                            globals.get(), nullptr);
    PyErr_Clear();
    error.restore_copy();
    if (frame) {
#if PY_VERSION_HEX < 0x030B0000
        frame->f_lineno = line;
#endif
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void report_ignored(const char* context) {
    SavedError error;
    if (error.empty()) return;
    error.restore_copy();
    if (PyErr_GivenExceptionMatches(error.type(), PyExc_SystemExit)) {
        // PyErr_PrintEx would end the process for SystemExit: only show it.
        PyErr_Clear();
        PyErr_Display(error.type(), error.value(), error.traceback());
    } else {
        PyErr_PrintEx(1);
    }
    Ref name = Ref::steal(PyUnicode_FromString(context));
    error.restore_copy();
    PyErr_WriteUnraisable(name ? name.get() : Py_None);
}

}  // namespace zelweb

#include <cstdarg>
#include <cstdio>

namespace zelweb {

void print_message(const char* format, ...) {
    char text[1000];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    SavedError pending;  // neither lose nor report an exception already set
    PySys_WriteStdout("%s", text);
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out && out != Py_None) {
        PyObject* r = PyObject_CallMethod(out, "flush", nullptr);
        Py_XDECREF(r);
    }
    PyErr_Clear();
    if (!pending.empty()) pending.restore_copy();
}

}  // namespace zelweb
