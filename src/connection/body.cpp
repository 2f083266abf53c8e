// The body of a POST: a form or JSON text into the body buffer, or a
// multipart form whose first file is streamed into tmp/ and whose text
// fields become the post text.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "connection/client.hpp"
#include "connection/multipart.hpp"
#include "connection/socket_io.hpp"
#include "module/compat.hpp"
#include "module/files.hpp"
#include "module/names.hpp"
#include "module/ref.hpp"
#include "module/report.hpp"

namespace zelweb {

namespace {

constexpr std::string_view continue_line = "HTTP/1.1 100 Continue\r\n\r\n";

size_t body_bytes_buffered(const Connection& c, uint32_t content_length) {
    size_t extra = c.received - c.head_size;
    return extra < content_length ? extra : content_length;
}

bool send_continue(const Connection& c, size_t buffered, uint32_t content_length) {
    if (!c.expect_continue || buffered >= content_length) return true;
    return send_all(c.con, continue_line.data(), continue_line.size());
}

void attach_body(Connection& c, HttpObject* http, char* buffer) {
    c.body_buffer = buffer;
    http->post = buffer;
    http->post_size = 0;
}

// A form or JSON text: received until content_length bytes have arrived or
// the peer has closed.
bool read_text_body(Connection& c, HttpObject* http) {
    uint32_t length = http->content_length;
    if (length == 0) return true;
    if (length > max_post) {
        print_message("MAX POST REACHED: %u\n", static_cast<unsigned>(max_post));
        return true;
    }
    char* buffer = static_cast<char*>(std::malloc(size_t(length) + 1));
    if (!buffer) {
        PyErr_NoMemory();
        return false;
    }
    attach_body(c, http, buffer);
    size_t got = body_bytes_buffered(c, length);
    std::memcpy(buffer, c.head + c.head_size, got);
    if (!send_continue(c, got, length)) return false;
    while (got < length) {
        Py_ssize_t n = receive_into(c.con, buffer + got, length - got);
        if (n < 0) return false;
        if (n == 0) {
            c.unread_body = 0;  // the peer has closed: nothing more will come
            break;
        }
        got += static_cast<size_t>(n);
        c.unread_body -= static_cast<size_t>(n);
    }
    buffer[got] = '\0';
    http->post_size = std::strlen(buffer);  // a zero byte ends the text
    return true;
}

bool is_unreserved(unsigned char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           ch == '-' || ch == '_' || ch == '.' || ch == '~';
}

// The text fields of a multipart form, kept as an urlencoded post text.
class FieldCollector {
public:
    FieldCollector(Connection& c, HttpObject* http) : c_(c), http_(http) {}

    bool begin(std::string_view name) {
        pair_start_ = http_->post_size;
        dropped_ = false;
        if (!ensure_buffer()) return false;
        if (pair_start_ > 0) append_raw("&");
        append_encoded(name);
        append_raw("=");
        return true;
    }
    void add(std::string_view data) { append_encoded(data); }

private:
    bool ensure_buffer() {
        if (c_.body_buffer) return true;
        char* buffer = static_cast<char*>(std::malloc(size_t(max_post) + 1));
        if (!buffer) {
            PyErr_NoMemory();
            return false;
        }
        buffer[0] = '\0';
        attach_body(c_, http_, buffer);
        return true;
    }
    void append_raw(std::string_view s) { write(s, false); }
    void append_encoded(std::string_view s) { write(s, true); }

    // Past max_post the whole pair is taken back, and the limit reported once.
    void write(std::string_view s, bool encode) {
        if (dropped_) return;
        size_t need = s.size();
        if (encode)
            for (unsigned char ch : s) need += is_unreserved(ch) ? 0 : 2;
        if (http_->post_size + need > max_post) {
            dropped_ = true;
            http_->post_size = pair_start_;
            http_->post[pair_start_] = '\0';
            if (!reported_) print_message("MAX POST REACHED: %u\n", static_cast<unsigned>(max_post));
            reported_ = true;
            return;
        }
        static const char hex[] = "0123456789ABCDEF";
        char* w = http_->post + http_->post_size;
        for (unsigned char ch : s) {
            if (!encode || is_unreserved(ch)) {
                *w++ = static_cast<char>(ch);
            } else {
                *w++ = '%';
                *w++ = hex[ch >> 4];
                *w++ = hex[ch & 15];
            }
        }
        *w = '\0';
        http_->post_size = static_cast<size_t>(w - http_->post);
    }

    Connection& c_;
    HttpObject* http_;
    size_t pair_start_ = 0;
    bool dropped_ = false, reported_ = false;
};

// "tmp/" followed by time.time_ns() and random.randrange(1000000, 9999999).
bool name_upload(HttpObject* http) {
    Ref time = Ref::steal(module_global(names.g_time));
    Ref random = time ? Ref::steal(module_global(names.g_random)) : Ref();
    if (!random) return false;
    PyObject* time_args[] = {time.get()};
    Ref ns = Ref::steal(vectorcall_method(names.time_ns, time_args, 1 | offset_arguments, nullptr));
    if (!ns) return false;
    PyObject* random_args[] = {random.get(), names.random_low, names.random_high};
    Ref number =
        Ref::steal(vectorcall_method(names.randrange, random_args, 3 | offset_arguments, nullptr));
    if (!number) return false;
    Ref name = Ref::steal(PyUnicode_FromFormat("tmp/%S%S", ns.get(), number.get()));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!text) return false;
    bounded_copy(http->upload_tmp_name, text, sizeof http->upload_tmp_name);
    return true;
}

bool write_to(PyObject* file, std::string_view data) {
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(data.data()),
                                                  static_cast<Py_ssize_t>(data.size()), PyBUF_READ));
    if (!view) return false;
    return call_method1(file, names.write, view.get());
}

enum class PartKind { none, file, field, dropped };

// An error of the class Exception during the upload is an upload error: its
// text goes to stdout, the error is cleared, and the application is still
// called. Returns false (error kept) for any other class.
bool as_upload_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    SavedError error;
    Ref text = Ref::steal(PyObject_Str(error.value() ? error.value() : error.type()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    print_message("%s\n", utf8 ? utf8 : "upload error");
    return true;
}

// Steps of the upload that run under its error guard. False with an
// exception set, or with `failure` naming a malformed body.
bool stream_parts(Connection& c, HttpObject* http, PyObject* file, const char*& failure) {
    auto reader = std::make_unique<MultipartReader>();
    uint32_t length = http->content_length;
    size_t buffered = body_bytes_buffered(c, length);
    std::memcpy(reader->free_space(), c.head + c.head_size, buffered);
    reader->commit(buffered);
    uint64_t& remaining = c.unread_body;  // what the connection still holds of the body
    if (!send_continue(c, buffered, length)) return false;

    // Receives into the reader what the connection still holds of the body:
    // the count, 0 once the peer has closed, -1 with an error set.
    auto receive_more = [&]() -> Py_ssize_t {
        size_t want = reader->free_size() < remaining ? reader->free_size() : remaining;
        Py_ssize_t n = receive_into(c.con, reader->free_space(), want);
        if (n == 0) remaining = 0;
        if (n > 0) remaining -= static_cast<size_t>(n);
        return n;
    };
    FieldCollector fields(c, http);
    PartKind kind = PartKind::none;
    bool file_seen = false;
    for (;;) {
        switch (reader->next()) {
            case MultipartReader::Event::need_more: {
                if (remaining == 0) {
                    reader->finish_input();
                    break;
                }
                Py_ssize_t n = receive_more();
                if (n < 0) return false;
                if (n == 0) {
                    failure = "connection closed before the end of the multipart body";
                    return true;
                }
                reader->commit(static_cast<size_t>(n));
                break;
            }
            case MultipartReader::Event::part_head: {
                PartHead head = parse_part_head(reader->head());
                if (head.filename && !file_seen) {
                    file_seen = true;
                    kind = PartKind::file;
                    bounded_copy(http->upload_name, *head.filename, sizeof http->upload_name);
                    if (head.content_type)
                        bounded_copy(http->upload_type, *head.content_type, sizeof http->upload_type);
                } else if (!head.filename && head.name) {
                    kind = PartKind::field;
                    if (!fields.begin(*head.name)) return false;
                } else {
                    kind = PartKind::dropped;
                }
                break;
            }
            case MultipartReader::Event::data:
                if (kind == PartKind::file) {
                    if (!write_to(file, reader->data())) return false;
                    http->upload_size += static_cast<int64_t>(reader->data().size());
                } else if (kind == PartKind::field) {
                    fields.add(reader->data());
                }
                break;
            case MultipartReader::Event::part_end:
                kind = PartKind::none;
                break;
            case MultipartReader::Event::done:
                // The epilogue, if any, is received and dropped.
                while (remaining > 0) {
                    Py_ssize_t n = receive_more();
                    if (n < 0) return false;
                    reader->next();  // drops what came
                }
                return true;
            case MultipartReader::Event::error:
                failure = reader->error_text();
                return true;
        }
    }
}

bool read_upload(Connection& c, HttpObject* http) {
    if (!name_upload(http)) return false;
    Ref open = Ref::steal(module_global(names.open));
    Ref path = open ? Ref::steal(PyBytes_FromString(http->upload_tmp_name)) : Ref();
    if (!path) return false;
    PyObject* open_args[] = {path.get(), names.mode_wb};
    Ref file = Ref::steal(vectorcall(open.get(), open_args, 2, nullptr));
    if (!file) return false;

    const char* failure = nullptr;
    bool ok = stream_parts(c, http, file.get(), failure);
    if (!ok && !as_upload_error()) {
        close_file(file.get());  // not an Exception: it ends the request, kept as it is
        return false;
    }
    if (ok && failure) print_message("%s\n", failure);
    // The file is buffered: a full disk may only show when it is closed.
    if (!close_file(file.get()) && !as_upload_error()) return false;
    // After a failed write the file may hold part of what was counted: its
    // size is what was kept.
    struct stat kept;
    if (stat(http->upload_tmp_name, &kept) == 0) http->upload_size = kept.st_size;
    return true;
}

}  // namespace

bool read_body(Connection& c, HttpObject* http) {
    Ref timeout = Ref::steal(PyFloat_FromDouble(static_cast<double>(post_timeout)));
    if (!timeout || !call_method1(c.con, names.settimeout, timeout.get())) return false;
    std::string_view type = field_text(http->request_content_type);
    if (type == "application/x-www-form-urlencoded" || type == "application/json")
        return read_text_body(c, http);
    if (type == "multipart/form-data" && http->content_length != 0) return read_upload(c, http);
    return true;
}

}  // namespace zelweb
