// Response setters.
#include <cstring>

#include "context/http_t.hpp"
#include "context/methods.hpp"
#include "parse/head.hpp"
#include "parse/text.hpp"
#include "py/args.hpp"
#include "py/bytes.hpp"
#include "py/call.hpp"
#include "py/files.hpp"
#include "py/names.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

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
// False with TypeError set for an argument that is not text.
template <size_t N>
bool set_line_field(char (&field)[N], PyObject* arg, const char* what) {
    std::string_view text;
    if (!text_arg(arg, text)) return false;
    if (!refuse_line_break(what, text)) bounded_copy(field, text, N);
    return true;
}

// The file chosen by c_data and c_data_r: true when its size was stored.
bool choose_file(HttpObject* self, std::string_view name, const char* context) {
    Ref path = bytes_of(name);
    int found = path ? path_exists(path.get()) : -1;
    if (found == 0) return false;
    if (found > 0) {
        // A refused path changes nothing: storing the size would announce one
        // file's length and send another (and c_data_r would remove it).
        if (!bounded_copy(self->data_path, view_of_bytes(path.get()), sizeof self->data_path))
            return false;
        Ref size = path_size(path.get());
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
    report_ignored_in(context);
    return false;
}

void set_header(HttpObject* self, std::string_view key, std::string_view value) {
    if (refuse_line_break("header line", key, value)) return;
    // A name that is not a token would make the line unreadable or let it
    // pass for another header (": v", "X Y: v").
    if (!is_token(key)) {
        print_message("zelweb: header name refused: it is not a token\n");
        return;
    }
    append_line(self->headers, header_line_capacity, {}, key, ": ", value);
}

}  // namespace

void call_set_header(HttpObject* self, std::string_view key, std::string_view value) {
    Ref override = find_override(
        as_object(self), names.c_set_header,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(http_t_c_set_header)));
    if (!override && !PyErr_Occurred()) {
        set_header(self, key, value);
        return;
    }
    if (override) {
        Ref k = bytes_of(key);
        Ref v = k ? bytes_of(value) : Ref();
        if (v && call(override.get(), k.get(), v.get())) return;
    }
    report_ignored_in("zelweb.http_t.c_set_header");
}

PyObject* http_t_c_text(PyObject* self, PyObject* arg) {
    std::string_view data;
    if (!text_arg(arg, data)) return nullptr;
    if (data.size() >= text_capacity)
        report_overflow(text_capacity);
    else if (!as_record(self)->text.replace(data))
        report_ignored_in("zelweb.http_t.c_text");
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
    if (choose_file(as_record(self), name, "zelweb.http_t.c_data_r"))
        as_record(self)->data_remove = 1;
    Py_RETURN_NONE;
}

PyObject* http_t_c_status(PyObject* self, PyObject* arg) {
    uint16_t status;
    if (!uint16_arg(arg, status)) return nullptr;
    as_record(self)->status = status;
    Py_RETURN_NONE;
}

PyObject* http_t_c_status_text(PyObject* self, PyObject* arg) {
    if (!set_line_field(as_record(self)->status_text, arg, "status text")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* http_t_c_content_type(PyObject* self, PyObject* arg) {
    if (!set_line_field(as_record(self)->content_type, arg, "content type")) return nullptr;
    Py_RETURN_NONE;
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
    Ref copy = bytes_of(url);
    if (!copy) return nullptr;
    call_set_header(r, "Location", view_of_bytes(copy.get()));
    Py_RETURN_NONE;
}

}  // namespace zelweb
