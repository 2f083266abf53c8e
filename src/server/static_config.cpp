// The static folders opened once, before anything is served: a directory
// descriptor each, so that a folder renamed or replaced later is not
// followed, and every file is opened beneath one.
#include "server/static_config.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "py/media_types.hpp"

namespace zelweb {

namespace {

// A prefix as request paths spell it: "/" first, then visible ASCII that
// needs no percent-encoding to reach the path unchanged.
bool plain_prefix(std::string_view prefix) {
    if (prefix.empty() || prefix[0] != '/' || prefix.size() > static_prefix_limit) return false;
    for (char c : prefix)
        if (c <= ' ' || c >= 0x7f || c == '?' || c == '#' || c == '%' || c == '\\') return false;
    return true;
}

bool read_prefix(PyObject* key, std::string_view& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "serve() static prefixes must be str, not %.100s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (!text) return false;
    out = std::string_view(text, static_cast<size_t>(size));
    if (plain_prefix(out)) return true;
    PyErr_Format(PyExc_ValueError,
                 "serve() static prefix %R must start with '/' and hold at most 1024 visible "
                 "ASCII characters other than ? # %% \\",
                 key);
    return false;
}

// The folder's directory descriptor, or -1 with ValueError set naming it.
int open_folder(PyObject* key, PyObject* value) {
    Ref fspath = Ref::steal(PyOS_FSPath(value));
    if (!fspath) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "serve() static folder for %R must be str, bytes or path-like, not %.100s",
                     key, Py_TYPE(value)->tp_name);
        return -1;
    }
    Ref encoded = PyBytes_Check(fspath.get())
                      ? Ref::incref(fspath.get())
                      : Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!encoded) return -1;
    const char* path = PyBytes_AS_STRING(encoded.get());
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
    int fd = -1, error = 0;
    if (size && !std::memchr(path, '\0', size)) {
        Py_BEGIN_ALLOW_THREADS
            fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
            error = errno;
        Py_END_ALLOW_THREADS
    } else {
        error = ENOENT;
    }
    if (fd >= 0) return fd;
    const char* why = error == ENOENT    ? "does not exist"
                      : error == ENOTDIR ? "is not a directory"
                                         : std::strerror(error);
    PyErr_Format(PyExc_ValueError, "serve() static folder %R for %R %s", fspath.get(), key, why);
    return -1;
}

}  // namespace

bool read_static_folders(PyObject* folders, PyObject* max_age, ServeConfig& config) {
    long age = -1;
    if (max_age && max_age != Py_None) {
        int overflow = 0;
        if (PyLong_Check(max_age) && !PyBool_Check(max_age))
            age = PyLong_AsLongAndOverflow(max_age, &overflow);
        else {
            PyErr_Format(PyExc_TypeError, "serve() static_max_age must be an int, not %.100s",
                         Py_TYPE(max_age)->tp_name);
            return false;
        }
        if (age == -1 && PyErr_Occurred()) return false;
        if (overflow || age < 0 || age > static_max_age_limit) {
            PyErr_Format(PyExc_ValueError, "serve() static_max_age must be from 0 to %ld",
                         static_max_age_limit);
            return false;
        }
    }
    if (!folders || folders == Py_None) return true;
    if (!PyDict_Check(folders)) {
        PyErr_Format(PyExc_TypeError,
                     "serve() static must be a dict of URL prefixes to folders, not %.100s",
                     Py_TYPE(folders)->tp_name);
        return false;
    }
    if (PyDict_GET_SIZE(folders) == 0) return true;
    if (static_cast<size_t>(PyDict_GET_SIZE(folders)) > static_folder_limit) {
        PyErr_Format(PyExc_ValueError, "serve() static may hold at most %zu folders",
                     static_folder_limit);
        return false;
    }
    StaticSiteRef site = StaticSiteRef::adopt(StaticSite::create());
    if (!site) {
        PyErr_NoMemory();
        return false;
    }
    site->max_age = age;
    // The items held: a folder's __fspath__ may change the dict.
    Ref items = Ref::steal(PyDict_Items(folders));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        std::string_view prefix;
        if (!read_prefix(key, prefix)) return false;
        if (site->has_prefix(prefix)) {
            PyErr_Format(PyExc_ValueError, "serve() static gives the prefix %R twice", key);
            return false;
        }
        int fd = open_folder(key, value);
        if (fd < 0) return false;
        if (!site->add(prefix, fd)) {
            PyErr_NoMemory();
            return false;
        }
    }
    // Read once now: the application threads use it without the interpreter lock.
    site->media_types = media_type_table();
    if (!site->media_types) return false;
    config.static_site = site;
    return true;
}

}  // namespace zelweb
