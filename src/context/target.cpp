// _init_get: the target split into the path and the query.
#include <cstring>

#include "context/http_t.hpp"
#include "context/methods.hpp"
#include "parse/target.hpp"
#include "parse/text.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

void init_get(HttpObject* self) {
    char work[sizeof self->url];
    std::string_view url = field_text(self->url);
    std::memcpy(work, url.data(), url.size());
    TargetSplit split = split_target(std::string_view(work, url.size()));
    std::memmove(self->url, split.path.data(), split.path.size());
    self->url[split.path.size()] = '\0';
    if (split.query) bounded_copy(self->query, *split.query, query_limit);
}

}  // namespace

void call_init_get(HttpObject* self) {
    Ref override = find_override(as_object(self), names.init_get, http_t_init_get);
    if (override) {
        if (!call(override.get())) report_ignored_in("zelweb.http_t._init_get");
        return;
    }
    if (PyErr_Occurred()) {
        report_ignored_in("zelweb.http_t._init_get");
        return;
    }
    init_get(self);
}

PyObject* http_t_init_get(PyObject* self, PyObject*) {
    init_get(as_record(self));
    Py_RETURN_NONE;
}

}  // namespace zelweb
