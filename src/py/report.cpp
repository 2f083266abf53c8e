// Traceback entries, the twofold report of ignored exceptions, and messages.
#include "py/report.hpp"

#include <frameobject.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

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

Ref standard_stream(const char* name) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    return stream && stream != Py_None ? Ref::incref(stream) : Ref();
}

namespace {

// PySys_WriteStdout and its kin call the stream without holding it: one
// replaced and freed by another thread while its write lets the lock go
// would be written through after it is gone.
void write_line(const char* name, bool flush, const char* format, va_list ap) {
    char text[1000];
    std::vsnprintf(text, sizeof text, format, ap);
    SavedError pending;  // neither lose nor report an exception already set
    Ref stream = standard_stream(name);
    Ref line = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)),
                                               "backslashreplace"));
    if (!stream || !line || !call_method(stream.get(), names.write, line.get())) {
        PyErr_Clear();
        std::fputs(text, std::strcmp(name, "stdout") == 0 ? stdout : stderr);
    } else if (flush && !call_method(stream.get(), names.flush)) {
        PyErr_Clear();
    }
    if (!pending.empty()) pending.restore_copy();
}

}  // namespace

void print_message(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    write_line("stdout", true, format, ap);
    va_end(ap);
}

void print_error_line(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    write_line("stderr", false, format, ap);
    va_end(ap);
}

void report_overflow_through_stdout(size_t limit) {
    print_message("size of data must: %d", static_cast<int>(limit));
}

}  // namespace zelweb
