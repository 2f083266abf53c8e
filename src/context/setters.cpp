// Response setters. A record made by start keeps the fixed fields and
// refuses with a message on standard output; one made by serve keeps longer
// values beside the record, and a value it still refuses makes the
// response a 500, so that nothing the application set is dropped silently.
#include <algorithm>
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

constexpr std::string_view method_prefix = "zelweb.http_t.";

bool extended(const HttpObject* r) { return r->limits == Limits::extended; }

// One line on standard error, naming the setter (from its dotted name), what
// it refused and the request; the response becomes a 500.
void refuse_under_serve(HttpObject* r, const char* context, const char* what) {
    r->refused = true;
    std::string_view method = field_text(r->method), path = url_of(r), query = query_of(r);
    // Held under the interpreter's 1,000 bytes for one message.
    print_error_line("zelweb: %s refused %s: the response to %.*s %.*s%s%.*s is a 500\n",
                      context + method_prefix.size(), what, static_cast<int>(method.size()),
                      method.data(), static_cast<int>(std::min<size_t>(path.size(), 600)),
                      path.data(), query.empty() ? "" : "?",
                      static_cast<int>(std::min<size_t>(query.size(), 200)), query.data());
}

// An error while a serve record kept a value (memory ran out) is reported,
// and the response is a 500 all the same.
void report_not_kept(HttpObject* r, const char* context) {
    report_ignored_in(context);
    if (extended(r)) r->refused = true;
}

bool has_line_break(std::string_view s) { return s.find_first_of("\r\n") != s.npos; }

// Request data often flows into these setters; a CR or LF would let it add
// header lines of its own (response splitting).
bool refuse_line_break(HttpObject* r, const char* context, const char* what, std::string_view a,
                       std::string_view b = {}) {
    if (!has_line_break(a) && !has_line_break(b)) return false;
    if (extended(r))
        refuse_under_serve(r, context, "a value holding a CR or LF byte");
    else
        print_message("zelweb: %s refused: it holds a CR or LF byte\n", what);
    return true;
}

// Appends "<prefix><a><mid><b>\r\n" to a block of lines: under start to its
// field, refusing a line longer than its scratch line or a field that would
// overflow; under serve to the field while it fits, then to its long text.
template <size_t N>
void append_line(HttpObject* r, char (&field)[N], LongText LongValues::*which,
                 size_t line_capacity, const char* context, std::string_view prefix,
                 std::string_view a, std::string_view mid, std::string_view b) {
    size_t line = prefix.size() + a.size() + mid.size() + b.size() + 2;
    std::string_view used = long_or_field(r, which, field_text(field));
    bool in_field = used.data() == field;
    if (!extended(r)) {
        if (line >= line_capacity) return report_overflow(line_capacity);
        if (used.size() + line >= N) return report_overflow(N);
    } else if (line > serve_line_limit) {
        return refuse_under_serve(r, context, "a line over 8190 bytes");
    } else if (used.size() + line > serve_lines_limit) {
        return refuse_under_serve(r, context, "lines over 65536 bytes in all");
    } else if (!in_field || used.size() + line >= N) {
        LongValues* values = long_values_of(r);
        LongText* text = values ? &(values->*which) : nullptr;
        if (!text || (in_field && !text->assign(used)) ||
            !text->append({prefix, a, mid, b, "\r\n"}))
            report_not_kept(r, context);
        return;
    }
    char* out = field + used.size();
    for (std::string_view piece : {prefix, a, mid, b, std::string_view("\r\n")}) {
        if (piece.empty()) continue;  // an empty view may hold no address at all
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
    }
    *out = '\0';
}

// The file chosen by c_data and c_data_r: true when its size was stored.
bool choose_file(HttpObject* self, std::string_view name, const char* context) {
    if (extended(self) && name.size() >= sizeof self->data_path) {
        refuse_under_serve(self, context, "a path over 249 bytes");
        return false;
    }
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
                // The last file chosen is the one sent.
                if (n != 0) {
                    release_stream(self);  // first: its close() may choose a body too
                    close_chosen_file(self);
                }
                return true;
            }
        }
    }
    report_ignored_in(context);
    return false;
}

void set_header(HttpObject* self, std::string_view key, std::string_view value) {
    const char* context = "zelweb.http_t.c_set_header";
    if (refuse_line_break(self, context, "header line", key, value)) return;
    // A name that is not a token would make the line unreadable or let it
    // pass for another header (": v", "X Y: v").
    if (!is_token(key)) {
        if (extended(self))
            refuse_under_serve(self, context, "a header name that is not a token");
        else
            print_message("zelweb: header name refused: it is not a token\n");
        return;
    }
    append_line(self, self->headers, &LongValues::headers, header_line_capacity, context, {}, key,
                ": ", value);
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
    HttpObject* r = as_record(self);
    if (!extended(r) && data.size() >= text_capacity)
        report_overflow(text_capacity);
    else if (!r->text.replace(data))
        report_not_kept(r, "zelweb.http_t.c_text");
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
    const char* context = "zelweb.http_t.c_status_text";
    std::string_view text;
    if (!text_arg(arg, text)) return nullptr;
    HttpObject* r = as_record(self);
    if (refuse_line_break(r, context, "status text", text)) Py_RETURN_NONE;
    if (!extended(r)) {
        if (bounded_copy(r->status_text, text, sizeof r->status_text)) r->status_text_set = true;
    } else if (text.size() > serve_status_text_limit) {
        refuse_under_serve(r, context, "a status text over 128 bytes");
    } else if (store_long_value(r, r->status_text, &LongValues::status_text, text)) {
        r->status_text_set = true;
    } else {
        report_not_kept(r, context);
    }
    Py_RETURN_NONE;
}

PyObject* http_t_c_content_type(PyObject* self, PyObject* arg) {
    const char* context = "zelweb.http_t.c_content_type";
    std::string_view type;
    if (!text_arg(arg, type)) return nullptr;
    HttpObject* r = as_record(self);
    if (refuse_line_break(r, context, "content type", type)) Py_RETURN_NONE;
    if (extended(r) && type.size() >= sizeof r->content_type)
        refuse_under_serve(r, context, "a content type over 249 bytes");
    else if (bounded_copy(r->content_type, type, sizeof r->content_type))
        r->content_type_set = true;
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
    const char* context = "zelweb.http_t.c_set_cookie";
    PyObject* arg[2];
    std::string_view key, value;
    if (!match_arguments("c_set_cookie", key_value, 2, args, nargs, kwnames, arg) ||
        !text_arg(arg[0], key) || !text_arg(arg[1], value))
        return nullptr;
    HttpObject* r = as_record(self);
    if (!refuse_line_break(r, context, "cookie line", key, value))
        append_line(r, r->set_cookie, &LongValues::set_cookie, cookie_line_capacity, context,
                    "Set-Cookie: ", key, "=", value);
    Py_RETURN_NONE;
}

PyObject* http_t_c_redirect(PyObject* self, PyObject* arg) {
    std::string_view url;
    if (!text_arg(arg, url)) return nullptr;
    HttpObject* r = as_record(self);
    if (refuse_line_break(r, "zelweb.http_t.c_redirect", "redirect url", url)) Py_RETURN_NONE;
    r->status = 302;
    std::memcpy(r->status_text, "Found", 6);
    if (r->long_values) r->long_values->status_text.clear();
    // Under serve the phrase then follows the status: a later c_status(301)
    // reads "Moved Permanently".
    r->status_text_set = false;
    // The url may live in a bytearray that an override could resize: copy it.
    Ref copy = bytes_of(url);
    if (!copy) return nullptr;
    call_set_header(r, "Location", view_of_bytes(copy.get()));
    Py_RETURN_NONE;
}

}  // namespace zelweb
