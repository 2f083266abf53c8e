// Traceback entries, the twofold report of ignored exceptions, and messages.
#include "py/report.hpp"

#include <frameobject.h>

#include <cstdarg>
#include <cstdio>

#include "py/call.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace zelweb {

namespace {

// The file the entries name: native code has no source lines to show.
constexpr const char* native_file = "<zelweb>";

// Prints the pending exception as an uncaught one, then reports it as ignored
// in `context`, and clears it.
void report_twice(const char* context) {
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

}  // namespace

void add_traceback(const char* function) {
    SavedError error;  // the frame must be made with no exception set
    Ref globals = Ref::steal(PyDict_New());
    Ref code;
    if (globals)
        code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(native_file, function, 0)));
    PyFrameObject* frame = nullptr;
    if (code)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                            globals.get(), nullptr);
    PyErr_Clear();
    error.restore_copy();
    if (frame) {
#if PY_VERSION_HEX < 0x030B0000
        frame->f_lineno = 0;
#endif
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void report_ignored_in(const char* context) {
    if (!PyErr_Occurred()) return;
    add_traceback(context);
    report_twice(context);
}

void print_message(const char* format, ...) {
    char text[1000];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    SavedError pending;  // neither lose nor report an exception already set
    PySys_WriteStdout("%s", text);
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out && out != Py_None) call_method(out, names.flush);
    PyErr_Clear();
    if (!pending.empty()) pending.restore_copy();
}

void report_overflow_through_stdout(size_t limit) {
    print_message("size of data must: %d", static_cast<int>(limit));
}

}  // namespace zelweb
