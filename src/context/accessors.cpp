// Query, header and cookie accessors, and the request target split.
#include <cstring>

#include "context/http_t.hpp"
#include "context/lookup.hpp"
#include "module/args.hpp"
#include "module/compat.hpp"
#include "module/names.hpp"
#include "module/ref.hpp"
#include "module/report.hpp"

namespace zelweb {

namespace {

PyObject* raw_lookup(std::string_view list, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return nullptr;
    auto value = find_pair_value(list, "; ", key);
    return bytes_of(value ? *value : std::string_view());
}

}  // namespace

PyObject* decode_value(std::string_view raw, const char* context) {
    // Forms encode a space as "+"; "%2B" still decodes to "+".
    char small[256] = {};
    Ref scratch;
    char* text = small;
    if (raw.size() > sizeof small) {
        scratch = Ref::steal(PyBytes_FromStringAndSize(nullptr, raw.size()));
        if (!scratch) return nullptr;
        text = PyBytes_AS_STRING(scratch.get());
    }
    bool plain = true;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '%' || static_cast<unsigned char>(c) >= 0x80) plain = false;
        text[i] = c == '+' ? ' ' : c;
    }
    if (plain) return PyBytes_FromStringAndSize(text, raw.size());

    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(text, raw.size(), "strict"));
    Ref unquote;
    Ref unquoted;
    if (decoded) unquote = Ref::steal(module_global(names.unquote));
    if (unquote) {
        PyObject* args[] = {decoded.get()};
        unquoted = Ref::steal(vectorcall(unquote.get(), args, 1, nullptr));
    }
    PyObject* encoded = nullptr;
    if (unquoted) encoded = PyUnicode_AsUTF8String(unquoted.get());
    if (encoded) return encoded;
    add_traceback(context, "src/context/accessors.cpp", 0);
    report_ignored(context);
    return PyBytes_FromStringAndSize("", 0);
}

void init_get(HttpObject* self) {
    char work[sizeof self->url];
    std::string_view url = field_text(self->url);
    std::memcpy(work, url.data(), url.size());
    TargetSplit split = split_target(std::string_view(work, url.size()));
    std::memmove(self->url, split.path.data(), split.path.size());
    self->url[split.path.size()] = '\0';
    if (split.query) bounded_copy(self->query, *split.query, 1024);
}

PyObject* http_t_init_get(PyObject* self, PyObject*) {
    init_get(as_record(self));
    Py_RETURN_NONE;
}

PyObject* http_t_c_url(PyObject* self, PyObject*) { return bytes_of(field_text(as_record(self)->url)); }

PyObject* http_t_c_path(PyObject* self, PyObject* arg) {
    std::string_view path;
    if (!text_arg(arg, path)) return nullptr;
    return PyLong_FromLong(field_text(as_record(self)->url) == path ? 1 : 0);
}

PyObject* http_t_c_get(PyObject* self, PyObject* arg) {
    std::string_view key;
    if (!text_arg(arg, key)) return nullptr;
    auto value = find_pair_value(field_text(as_record(self)->query), "&", key);
    if (!value) return bytes_of({});
    return decode_value(*value, "zelweb.http_t.c_get");
}

PyObject* http_t_c_get_cookie(PyObject* self, PyObject* arg) {
    return raw_lookup(field_text(as_record(self)->cookie), arg);
}

PyObject* http_t_c_get_auth(PyObject* self, PyObject* arg) {
    return raw_lookup(field_text(as_record(self)->auth), arg);
}

PyObject* http_t_c_user_agent(PyObject* self, PyObject*) {
    return bytes_of(field_text(as_record(self)->user_agent));
}

}  // namespace zelweb
