// Ref owns one strong reference to a PyObject, or none; SavedError holds a
// pending exception.
//
// Rules followed throughout the module:
// - a function that makes a new reference returns a Ref; only the slot
//   functions the interpreter calls hand out a raw PyObject*, by release();
// - a PyObject* parameter, and any raw PyObject* result, is borrowed;
// - no C++ exception is thrown: memory is taken without throwing (malloc,
//   new (std::nothrow)) and a failure becomes PyErr_NoMemory, so nothing
//   unwinds through the interpreter's C frames.
#pragma once
#include <Python.h>

#include <utility>

namespace zelweb {

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
    ~Ref() { Py_XDECREF(p_); }

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
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
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
