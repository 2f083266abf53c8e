// wsgi.file_wrapper(filelike, block_size=8192): an iterable of the file's
// blocks that the server may send another way. Returned as it was made, the
// connection sends a file that has a descriptor straight from it; wrapped in
// middleware, it is read block by block like any iterable.
#pragma once
#include <Python.h>

namespace zelweb {

extern PyTypeObject file_wrapper_type;

// The wrapped object, borrowed; `wrapper` must be of file_wrapper_type.
PyObject* wrapped_file(PyObject* wrapper);

bool ready_file_wrapper_type();

}  // namespace zelweb
