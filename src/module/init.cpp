// The module definition: PyInit_zelweb, the create step and the execution
// step with the module's settings. The one file that sees every layer.
#include <Python.h>

#include "context/http_t.hpp"
#include "parse/limits.hpp"
#include "parse/text.hpp"
#include "parse/version.hpp"
#include "py/compat.hpp"
#include "py/globals.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"
#include "py/report.hpp"
#include "py/settings.hpp"
#include "server/serve.hpp"
#include "server/start.hpp"
#include "wsgi/register.hpp"

namespace zelweb {

namespace {

int64_t first_interpreter = -1;

bool copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to,
                         bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !allow_none) return true;
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject* create_step(PyObject* spec, PyModuleDef*) {
    int64_t current = interpreter_id();
    if (first_interpreter == -1) {
        first_interpreter = current;
    } else if (current != first_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (PyObject* existing = module_object()) {
        Py_INCREF(existing);
        return existing;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attribute(spec, module.get(), "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, module.get(), "origin", "__file__", true) ||
        !copy_spec_attribute(spec, module.get(), "parent", "__package__", true) ||
        !copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

// `import <name>` (or `from <name> import <fromlist>`) into the namespace.
Ref import_module(PyObject* dict, const char* name, PyObject* fromlist) {
    Ref module_name = Ref::steal(PyUnicode_FromString(name));
    Ref locals = Ref::steal(PyDict_New());
    if (!module_name || !locals) return Ref();
    return Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), dict, locals.get(), fromlist, 0));
}

bool bind_import(PyObject* dict, const char* name) {
    Ref empty = Ref::steal(PyList_New(0));
    Ref imported = empty ? import_module(dict, name, empty.get()) : Ref();
    return imported && PyDict_SetItemString(dict, name, imported.get()) == 0;
}

bool run_module_statements(PyObject* dict) {
    if (!bind_import(dict, "socket") || !bind_import(dict, "threading")) return false;
    {
        Ref name = Ref::steal(PyUnicode_FromString("unquote"));
        Ref fromlist = name ? Ref::steal(PyList_New(1)) : Ref();
        if (!fromlist) return false;
        Py_INCREF(name.get());
        PyList_SET_ITEM(fromlist.get(), 0, name.get());
        Ref parse = import_module(dict, "urllib.parse", fromlist.get());
        if (!parse) return false;
        Ref unquote = Ref::steal(PyObject_GetAttr(parse.get(), name.get()));
        if (!unquote) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError))
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
            return false;
        }
        if (PyDict_SetItem(dict, name.get(), unquote.get()) < 0) return false;
    }
    if (!bind_import(dict, "random") || !bind_import(dict, "os") || !bind_import(dict, "time") ||
        !bind_import(dict, "ssl"))
        return false;
    post_timeout = post_timeout_seconds;
    max_post = max_post_bytes;
    Ref start = make_start_function();
    if (!start || PyDict_SetItemString(dict, "start", start.get()) < 0) return false;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return false;
    // The build passes the version that pyproject.toml gives.
    Ref version = Ref::steal(PyUnicode_FromString(ZELWEB_VERSION));
    if (!version || PyDict_SetItemString(dict, "__version__", version.get()) < 0) return false;
    Ref serve = make_serve_function();
    return serve && PyDict_SetItemString(dict, "serve", serve.get()) == 0;
}

int exec_step(PyObject* module) {
    if (PyObject* recorded = module_object()) {
        if (recorded == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'zelweb' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    char built[4];
    PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    char running[4];
    PyOS_snprintf(running, sizeof running, "%s", Py_GetVersion());
    if (versions_differ(built, running)) {
        char message[200];
        PyOS_snprintf(message, sizeof message,
                      "compiletime version %s of module '%.100s' does not match runtime version %s",
                      built, "zelweb", running);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init zelweb");
            return -1;
        }
    }
    set_module_object(module);
    PyObject* dict = PyModule_GetDict(module);            // borrowed
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    bool ok = builtins && PyDict_SetItemString(dict, "__builtins__", builtins) == 0 &&
              make_names() && register_http_t(module) && run_module_statements(dict) &&
              register_wsgi(module);
    if (ok) {
        // bounded_copy's refusals go through sys.stdout, in order with print().
        set_overflow_reporter(report_overflow_through_stdout);
        return 0;
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init zelweb");
    add_traceback("init zelweb");
    set_module_object(nullptr);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_step)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_step)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zelweb",
    nullptr,  // no documentation string
    0,        // all state is process-wide
    nullptr,  // start is bound by the execution step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zelweb

// Before 3.9 PyMODINIT_FUNC leaves the symbol's visibility to the build.
#if PY_VERSION_HEX < 0x03090000
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_zelweb(void)
#else
PyMODINIT_FUNC PyInit_zelweb(void)
#endif
{
    return PyModuleDef_Init(&zelweb::module_def);
}
