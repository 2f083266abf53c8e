// The response of c_file.
#include "connection/file_response.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "connection/compose.hpp"
#include "core/file_descriptor.hpp"
#include "parse/file_answer.hpp"
#include "parse/head.hpp"
#include "parse/http_date.hpp"
#include "parse/reason_phrase.hpp"
#include "parse/text.hpp"
#include "parse/validators.hpp"

namespace zelweb {

namespace {

// The head's lines after the server line, in a buffer of their own.
class Lines {
public:
    void add(std::string_view s) {
        size_t n = s.size() < sizeof text_ - size_ ? s.size() : sizeof text_ - size_;
        if (n) std::memcpy(text_ + size_, s.data(), n);
        size_ += n;
    }
    void add(unsigned long long n) {
        char digits[24], *p = digits + sizeof digits;
        do {
            *--p = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n);
        add(std::string_view(p, static_cast<size_t>(digits + sizeof digits - p)));
    }
    std::string_view view() const { return std::string_view(text_, size_); }
    bool full() const { return size_ == sizeof text_; }

private:
    char text_[512];
    size_t size_ = 0;
};

bool stat_file(int fd, struct stat& st) {
    int result, error;
    Py_BEGIN_ALLOW_THREADS
        result = fstat(fd, &st);
        error = errno;
    Py_END_ALLOW_THREADS
    if (result == 0) return true;
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

// read_at without the interpreter lock; -1 with OSError set.
int64_t read_part(int fd, uint64_t offset, size_t count, char* out) {
    int64_t got;
    int error;
    Py_BEGIN_ALLOW_THREADS
        got = read_at(fd, offset, count, out);
        error = errno;
    Py_END_ALLOW_THREADS
    if (got >= 0) return got;
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

}  // namespace

bool send_chosen_file(Connection& c, const HttpObject* http, std::string_view lines) {
    struct stat st;
    if (!stat_file(http->file_fd, st)) return false;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    int64_t modified = st.st_mtim.tv_sec;
    // Wraps only centuries away; the tag needs to change, not to be a time.
    int64_t modified_ns = static_cast<int64_t>(static_cast<uint64_t>(modified) * 1000000000u +
                                               static_cast<uint64_t>(st.st_mtim.tv_nsec));
    char etag[etag_capacity];
    std::string_view tag(etag, format_etag(size, modified_ns, etag));
    std::string_view method = field_text(http->method);
    int64_t now = static_cast<int64_t>(std::time(nullptr));

    // The conditional and range rules answer the 200 the application left;
    // a status it set itself gets the file as it is.
    bool rules = http->status == 200;
    // Validators the application set itself (a version of its own) are the
    // ones compared and the only ones sent: a client must never see two.
    bool own_tag = false, own_modified = false;
    auto take_own = [&](std::string_view name, std::string_view value) {
        if (header_name_is(name, "ETag")) {
            own_tag = true;
            tag = value;
        } else if (header_name_is(name, "Last-Modified")) {
            own_modified = true;
            if (auto date = parse_http_date(value, now)) modified = *date;
        }
    };
    if (rules) for_each_header_line(headers_of(http), false, take_own);
    FileAnswer answer{FileStatus::whole, 0, size};
    if (rules && http->request_head) {
        std::string_view head(http->request_head, http->request_head_size);
        answer = answer_file_request(head, method, FileValidators{size, tag, modified}, now);
    }
    Lines out;
    out.add(lines);
    if (rules) {
        char date[http_date_size];
        format_http_date(modified, date);
        if (!own_tag) {
            out.add("ETag: ");
            out.add(tag);
            out.add("\r\n");
        }
        if (!own_modified) {
            out.add("Last-Modified: ");
            out.add(std::string_view(date, sizeof date));
            out.add("\r\n");
        }
        out.add("Accept-Ranges: bytes\r\n");
    }
    if (answer.status == FileStatus::partial) {
        out.add("Content-Range: bytes ");
        out.add(answer.first);
        out.add("-");
        out.add(answer.first + answer.count - 1);
        out.add("/");
        out.add(size);
        out.add("\r\n");
    } else if (answer.status == FileStatus::unsatisfiable) {
        out.add("Content-Range: bytes */");
        out.add(size);
        out.add("\r\n");
    }
    if (out.full()) {  // never, with the lines the handlers pass
        PyErr_SetString(PyExc_RuntimeError, "response head lines too long");
        return false;
    }

    HeadShape shape = record_head(http, answer.count, out.view());
    if (!http->content_type_set) shape.content_type = http->file_type;
    if (answer.status != FileStatus::whole) {
        shape.status = status_code(answer.status);
        shape.status_text = reason_phrase(shape.status);
    }
    c.sent_status = shape.status;
    c.sent_body = 0;
    bool body = status_has_body(shape.status) && method != "HEAD" && answer.count > 0 &&
                (answer.status == FileStatus::whole || answer.status == FileStatus::partial);
    int64_t sent = 0;
    Ref response;
    if (body && answer.count <= inline_file_limit) {
        // A small body goes in the head's one send: one packet, no sendfile.
        char part[inline_file_limit];
        sent = read_part(http->file_fd, answer.first, static_cast<size_t>(answer.count), part);
        if (sent < 0) return false;
        response = compose_response(http, shape, std::string_view(part, static_cast<size_t>(sent)));
        if (!response || !c.channel.send_last_bytes(response.get())) return false;
    } else {
        response = compose_response(http, shape, {});
        if (!response || !c.channel.send_last_bytes(response.get())) return false;
        if (!body) return true;
        sent = c.channel.send_last_descriptor(http->file_fd, answer.first, answer.count);
        if (sent < 0) return false;
    }
    c.sent_body = static_cast<uint64_t>(sent);
    c.body_cut_short = c.sent_body < answer.count;
    return true;
}

}  // namespace zelweb
