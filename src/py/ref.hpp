// Ref owns one strong reference to a PyObject, or none; SavedError holds a
// pending exception.
//
// Rules followed throughout the module:
// - a function that makes a new reference returns a Ref; only the slot
//   functions the interpreter calls hand out a raw PyObject*, by release();
// - a PyObject* parameter, and any raw PyObject* result, is borrowed;
// - no C++ exception is thrown: memory is taken without throwing (malloc,
//   new (std::nothrow)) and a failure becomes PyErr_NoMemory, so nothing
//   unwinds through the interpreter's C frames;
// - the one unwinding that does happen is the interpreter's own: a daemon
//   thread that wants the interpreter lock back while the interpreter shuts
//   down is ended by pthread_exit, which runs the destructors of its frames
//   without the lock. Ref and SavedError then let their references go
//   undecremented (the process is ending) rather than touch the interpreter.
#pragma once
#include <Python.h>

#include <utility>

namespace zelweb {

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Py_XDECREF, unless the interpreter is shutting down (see above).
inline void drop(PyObject* p) {
    if (p && !interpreter_finalizing()) Py_DECREF(p);
}

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref incref(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref t(std::move(o));
        std::swap(p_, t.p_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { drop(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }  // hand back to CPython
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Holds a pending exception (type, value, traceback) across calls that must
// run with no exception set; restores nothing unless asked.
class SavedError {
public:
    SavedError() {
        PyErr_Fetch(&type_, &value_, &tb_);
        if (type_) PyErr_NormalizeException(&type_, &value_, &tb_);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        drop(type_);
        drop(value_);
        drop(tb_);
    }
    bool empty() const { return type_ == nullptr; }
    // Sets the error again, keeping a copy for a later restore.
    void restore_copy() const {
        Py_XINCREF(type_);
        Py_XINCREF(value_);
        Py_XINCREF(tb_);
        PyErr_Restore(type_, value_, tb_);
    }
    PyObject* type() const { return type_; }
    PyObject* value() const { return value_; }
    PyObject* traceback() const { return tb_; }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

}  // namespace zelweb
