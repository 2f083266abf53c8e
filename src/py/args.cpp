// Argument conversion and matching.
#include "py/args.hpp"

#include <cstring>

#include "py/ref.hpp"

namespace zelweb {

bool text_arg(PyObject* obj, std::string_view& out) {
    const char* data;
    Py_ssize_t size;
    if (PyByteArray_Check(obj)) {
        data = PyByteArray_AS_STRING(obj);
        size = PyByteArray_GET_SIZE(obj);
    } else if (PyBytes_Check(obj)) {
        data = PyBytes_AS_STRING(obj);
        size = PyBytes_GET_SIZE(obj);
    } else {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(obj)->tp_name);
        return false;
    }
    const void* nul = size ? std::memchr(data, '\0', static_cast<size_t>(size)) : nullptr;
    out = std::string_view(data, nul ? static_cast<const char*>(nul) - data : size);
    return true;
}

namespace {

bool unsigned_arg(PyObject* obj, unsigned long long max, const char* type_name,
                  unsigned long long& out) {
    Ref number;
    if (PyLong_Check(obj)) {
        number = Ref::incref(obj);
    } else {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || !nb->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        number = Ref::steal(nb->nb_int(obj));
        if (!number) return false;
        if (!PyLong_Check(number.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(number.get())->tp_name);
            return false;
        }
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
        return false;
    }
    if (overflow > 0 || static_cast<unsigned long long>(value) > max) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
        return false;
    }
    out = static_cast<unsigned long long>(value);
    return true;
}

}  // namespace

bool uint16_arg(PyObject* obj, uint16_t& out) {
    unsigned long long v;
    if (!unsigned_arg(obj, UINT16_MAX, "uint16_t", v)) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

bool uint8_arg(PyObject* obj, uint8_t& out) {
    unsigned long long v;
    if (!unsigned_arg(obj, UINT8_MAX, "uint8_t", v)) return false;
    out = static_cast<uint8_t>(v);
    return true;
}

namespace {
void wrong_count(const char* function, Py_ssize_t count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function, "exactly", count, count == 1 ? "" : "s", given);
}
}  // namespace

bool match_arguments(const char* function, const char* const* params, Py_ssize_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > count || (!kwnames && nargs != count)) {
        wrong_count(function, count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
            return false;
        }
        Py_ssize_t at = -1;
        for (Py_ssize_t i = 0; i < count; ++i)
            if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) {
                at = i;
                break;
            }
        if (at < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         key);
            return false;
        }
        if (out[at]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function, key);
            return false;
        }
        out[at] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < count; ++i)
        if (!out[i]) {
            wrong_count(function, count, i);
            return false;
        }
    return true;
}

}  // namespace zelweb
