// Response setters.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "context/http_t.hpp"
#include "module/args.hpp"
#include "module/files.hpp"
#include "module/ref.hpp"
#include "module/report.hpp"

namespace zelweb {

namespace {

constexpr size_t header_line_capacity = 512;
constexpr size_t cookie_line_capacity = 256;

bool has_line_break(std::string_view s) { return s.find_first_of("\r\n") != s.npos; }

// Request data often flows into these setters; a CR or LF would let it add
// header lines of its own (response splitting).
bool refuse_line_break(const char* what, std::string_view a, std::string_view b = {}) {
    if (!has_line_break(a) && !has_line_break(b)) return false;
    print_message("zelweb: %s refused: it holds a CR or LF byte\n", what);
    return true;
}

// Formats "<a><mid><b>\r\n" (with `prefix` first) and appends it to `field`,
// refusing a line longer than its scratch line or a field that would overflow.
template <size_t N>
void append_line(char (&field)[N], size_t line_capacity, std::string_view prefix,
                 std::string_view a, std::string_view mid, std::string_view b) {
    size_t line = prefix.size() + a.size() + mid.size() + b.size() + 2;
    if (line >= line_capacity) {
        report_overflow(line_capacity);
        return;
    }
    size_t used = field_text(field).size();
    if (used + line >= N) {
        report_overflow(N);
        return;
    }
    char* out = field + used;
    for (std::string_view piece : {prefix, a, mid, b, std::string_view("\r\n")}) {
        if (piece.empty()) continue;  // an empty view may hold no address at all
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
    }
    *out = '\0';
}

// A one-line field setter: refuses line breaks, bounded copy otherwise.
template <size_t N>
PyObject* set_line_field(char (&field)[N], PyObject* arg, const char* what) {
    std::string_view text;
    if (!text_arg(arg, text)) return nullptr;
    if (!refuse_line_break(what, text)) bounded_copy(field, text, N);
    Py_RETURN_NONE;
}

// Steps 1 to 3 of c_data: true when a size was stored.
bool choose_file(HttpObject* self, std::string_view name, const char* context) {
    Ref path = Ref::steal(PyBytes_FromStringAndSize(name.data(), name.size()));
    int found = path ? path_exists(path.get()) : -1;
    if (found == 0) return false;
    if (found > 0) {
        // A refused path changes nothing: storing the size would announce one
        // file's length and send another (and c_data_r would remove it).
        if (!bounded_copy(self->data_path,
                          std::string_view(PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get())),
                          sizeof self->data_path))
            return false;
        Ref size = Ref::steal(path_size(path.get()));
        if (size) {
            unsigned long long n = PyLong_AsUnsignedLongLong(size.get());
            if (!PyErr_Occurred() && n > UINT32_MAX)
                PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
            if (!PyErr_Occurred()) {
                self->data_size = static_cast<uint32_t>(n);
                return true;
            }
        }
    }
    add_traceback(context, "src/context/setters.cpp", 0);
    report_ignored(context);
    return false;
}

}  // namespace

bool set_text(HttpObject* self, std::string_view data) {
    if (data.size() >= text_capacity) {
        report_overflow(text_capacity);
        return false;
    }
    char* copy = static_cast<char*>(std::malloc(data.size() + 1));
    if (!copy) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(copy, data.data(), data.size());
    copy[data.size()] = '\0';
    std::free(self->text.data);
    self->text.data = copy;
    self->text.size = data.size();
    return true;
}

void set_header(HttpObject* self, std::string_view key, std::string_view value) {
    if (refuse_line_break("header line", key, value)) return;
    append_line(self->headers, header_line_capacity, {}, key, ": ", value);
}

PyObject* http_t_c_text(PyObject* self, PyObject* arg) {
    std::string_view data;
    if (!text_arg(arg, data)) return nullptr;
    if (!set_text(as_record(self), data) && PyErr_Occurred()) {
        add_traceback("zelweb.http_t.c_text", "src/context/setters.cpp", 0);
        report_ignored("zelweb.http_t.c_text");
    }
    Py_RETURN_NONE;
}

PyObject* http_t_c_data(PyObject* self, PyObject* arg) {
    std::string_view name;
    if (!text_arg(arg, name)) return nullptr;
    choose_file(as_record(self), name, "zelweb.http_t.c_data");
    Py_RETURN_NONE;
}

PyObject* http_t_c_data_r(PyObject* self, PyObject* arg) {
    std::string_view name;
    if (!text_arg(arg, name)) return nullptr;
    if (choose_file(as_record(self), name, "zelweb.http_t.c_data_r")) as_record(self)->data_remove = 1;
    Py_RETURN_NONE;
}

PyObject* http_t_c_status(PyObject* self, PyObject* arg) {
    uint16_t status;
    if (!uint16_arg(arg, status)) return nullptr;
    as_record(self)->status = status;
    Py_RETURN_NONE;
}

PyObject* http_t_c_status_text(PyObject* self, PyObject* arg) {
    return set_line_field(as_record(self)->status_text, arg, "status text");
}

PyObject* http_t_c_content_type(PyObject* self, PyObject* arg) {
    return set_line_field(as_record(self)->content_type, arg, "content type");
}

namespace {
const char* const key_value[] = {"key", "value"};
}

PyObject* http_t_c_set_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* arg[2];
    std::string_view key, value;
    if (!match_arguments("c_set_header", key_value, 2, args, nargs, kwnames, arg) ||
        !text_arg(arg[0], key) || !text_arg(arg[1], value))
        return nullptr;
    set_header(as_record(self), key, value);
    Py_RETURN_NONE;
}

PyObject* http_t_c_set_cookie(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* arg[2];
    std::string_view key, value;
    if (!match_arguments("c_set_cookie", key_value, 2, args, nargs, kwnames, arg) ||
        !text_arg(arg[0], key) || !text_arg(arg[1], value))
        return nullptr;
    if (!refuse_line_break("cookie line", key, value))
        append_line(as_record(self)->set_cookie, cookie_line_capacity, "Set-Cookie: ", key, "=",
                    value);
    Py_RETURN_NONE;
}

PyObject* http_t_c_redirect(PyObject* self, PyObject* arg) {
    std::string_view url;
    if (!text_arg(arg, url)) return nullptr;
    if (refuse_line_break("redirect url", url)) Py_RETURN_NONE;
    HttpObject* r = as_record(self);
    r->status = 302;
    std::memcpy(r->status_text, "Found", 6);
    // The url may live in a bytearray that an override could resize: copy it.
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(url.data(), url.size()));
    if (!copy) return nullptr;
    call_set_header(r, "Location",
                    std::string_view(PyBytes_AS_STRING(copy.get()), PyBytes_GET_SIZE(copy.get())));
    Py_RETURN_NONE;
}

}  // namespace zelweb
