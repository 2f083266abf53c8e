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
    if (self->limits == Limits::extended) {
        // serve's target may be as long as its head: the path and the query
        // stay whole, beside the record when they outgrow their fields.
        char work[head_capacity];
        std::string_view url = url_of(self);
        if (url.size() > sizeof work) return;
        std::memcpy(work, url.data(), url.size());
        TargetSplit split = split_target(std::string_view(work, url.size()));
        if (!store_long_value(self, self->url, &LongValues::url, split.path) ||
            (split.query &&
             !store_long_value(self, self->query, &LongValues::query, *split.query)))
            report_ignored_in("zelweb.http_t._init_get");
        return;
    }
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
