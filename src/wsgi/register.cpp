// The WSGI layer at import.
#include "wsgi/register.hpp"

#include "wsgi/file_wrapper.hpp"
#include "wsgi/input.hpp"
#include "wsgi/names.hpp"
#include "wsgi/start_response.hpp"

namespace zelweb {

bool register_wsgi(PyObject* module) {
    if (!make_wsgi_names() || !ready_input_stream_type() || !ready_start_response_type() ||
        !ready_file_wrapper_type())
        return false;
    if (!body_too_large_error) {
        body_too_large_error = PyErr_NewExceptionWithDoc(
            "zelweb.BodyTooLarge",
            "A request body read from wsgi.input grew past serve's max_body.", PyExc_OSError,
            nullptr);
        if (!body_too_large_error) return false;
    }
    Py_INCREF(body_too_large_error);
    if (PyModule_AddObject(module, "BodyTooLarge", body_too_large_error) < 0) {
        Py_DECREF(body_too_large_error);
        return false;
    }
    return true;
}

}  // namespace zelweb
