// Query, header and cookie accessors.
#include "context/form_value.hpp"
#include "context/http_t.hpp"
#include "context/methods.hpp"
#include "parse/pairs.hpp"
#include "parse/text.hpp"
#include "py/args.hpp"
#include "py/bytes.hpp"

namespace zelweb {

namespace {

// A value from a "; "-separated list, raw: no decoding.
Ref raw_lookup(std::string_view list, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return Ref();
    auto value = find_pair_value(list, "; ", key);
    return bytes_of(value ? *value : std::string_view());
}

}  // namespace

PyObject* http_t_c_url(PyObject* self, PyObject*) {
    return bytes_of(field_text(as_record(self)->url)).release();
}

PyObject* http_t_c_path(PyObject* self, PyObject* arg) {
    std::string_view path;
    if (!text_arg(arg, path)) return nullptr;
    return PyLong_FromLong(field_text(as_record(self)->url) == path ? 1 : 0);
}

PyObject* http_t_c_get(PyObject* self, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return nullptr;
    auto value = find_pair_value(field_text(as_record(self)->query), "&", key);
    if (!value) return bytes_of({}).release();
    return decode_form_value(*value, "zelweb.http_t.c_get").release();
}

PyObject* http_t_c_get_cookie(PyObject* self, PyObject* arg) {
    return raw_lookup(field_text(as_record(self)->cookie), arg).release();
}

PyObject* http_t_c_get_auth(PyObject* self, PyObject* arg) {
    return raw_lookup(field_text(as_record(self)->auth), arg).release();
}

PyObject* http_t_c_user_agent(PyObject* self, PyObject*) {
    return bytes_of(field_text(as_record(self)->user_agent)).release();
}

}  // namespace zelweb
