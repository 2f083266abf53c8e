// The WSGI layer made ready at import: its names, its types, and
// zelweb.BodyTooLarge bound in the module.
#pragma once
#include <Python.h>

namespace zelweb {

bool register_wsgi(PyObject* module);

}  // namespace zelweb
