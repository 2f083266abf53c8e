// Paths and files through the interpreter: os.path.exists, os.path.getsize
// and os.remove (looked up on the module global `os` at each use), the
// built-in open, and the close of a file object.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace zelweb {

// os.path.exists(path) tested for truth: 1 or 0, or -1 with an error set.
int path_exists(PyObject* path);

// os.path.getsize(path).
Ref path_size(PyObject* path);

// os.remove(path) when os.path.exists(path). False with an error set.
bool remove_if_exists(PyObject* path);

// open(path, mode), the built-in looked up as a module global.
Ref open_file(PyObject* path, PyObject* mode);

// open(fd, "rb", buffering=0, closefd=False): a raw file object on a
// descriptor it does not own.
Ref open_descriptor(int fd);

// file.close(). An error that was already pending is kept in preference to
// one from the close; either way the result is false when an error is set.
bool close_file(PyObject* file);

}  // namespace zelweb
