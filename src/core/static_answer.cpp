// Static answers: the request matched against the folders, the file opened
// beneath its folder, its coding chosen, the head written by hand into the
// caller's buffer, a small body read after it.
#include "core/static_answer.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/file_descriptor.hpp"
#include "parse/accept_encoding.hpp"
#include "parse/file_answer.hpp"
#include "parse/head.hpp"
#include "parse/http_date.hpp"
#include "parse/reason_phrase.hpp"
#include "parse/request_head.hpp"
#include "parse/static_path.hpp"
#include "parse/validators.hpp"

namespace zelweb {

namespace {

constexpr std::string_view index_name = "index.html";
constexpr std::string_view unknown_type = "application/octet-stream";
constexpr size_t name_room = static_path_capacity + 16;  // "/index.html", ".br"

// Writes into a fixed buffer; what does not fit is cut and noted.
class Writer {
public:
    Writer(char* at, size_t capacity) : begin_(at), at_(at), end_(at + capacity) {}
    Writer& operator<<(std::string_view s) {
        size_t n = s.size() <= static_cast<size_t>(end_ - at_) ? s.size() : 0;
        if (n < s.size()) full_ = true;
        if (n) std::memcpy(at_, s.data(), n);
        at_ += n;
        return *this;
    }
    Writer& operator<<(uint64_t n) {
        char digits[24], *p = digits + sizeof digits;
        do {
            *--p = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n);
        return *this << std::string_view(p, static_cast<size_t>(digits + sizeof digits - p));
    }
    size_t size() const { return static_cast<size_t>(at_ - begin_); }
    size_t room() const { return static_cast<size_t>(end_ - at_); }
    char* at() const { return at_; }
    bool full() const { return full_; }

private:
    char *begin_, *at_, *end_;
    bool full_ = false;
};

// The path as the target gives it, before the query: a prefix matches it
// alone, or followed by "/" or "?".
bool under(std::string_view target, std::string_view prefix) {
    if (target.substr(0, prefix.size()) != prefix) return false;
    return target.size() == prefix.size() || target[prefix.size()] == '/' ||
           target[prefix.size()] == '?' || prefix.empty();
}

}  // namespace

// Cheap: the method, then the target's start against each prefix. An
// absolute-form target is left to the full reading.
bool may_be_static(const StaticSite& site, std::string_view head) {
    size_t at;
    if (head.substr(0, 4) == "GET ")
        at = 4;
    else if (head.substr(0, 5) == "HEAD ")
        at = 5;
    else
        return false;
    std::string_view target = head.substr(at, head.find(' ', at) - at);
    if (target.empty()) return false;
    if (target[0] != '/') return true;
    for (const auto& folder : site)
        if (under(target, folder.prefix)) return true;
    return false;
}

namespace {

struct Match {
    RequestHead head;
    const StaticSite::Folder* folder = nullptr;
    StaticPath path;
    bool bare_prefix = false;  // the path is the prefix itself, without its "/"
};

bool match(const StaticSite& site, std::string_view head, char* decoded, Match& m) {
    if (!may_be_static(site, head)) return false;
    if (read_request_head(head, m.head) != HeadFault::none) return false;
    if (m.head.method != "GET" && m.head.method != "HEAD") return false;
    if (m.head.form == TargetForm::asterisk) return false;
    for (const auto& folder : site) {
        m.path = resolve_static_path(m.head.path, folder.prefix, decoded, static_path_capacity);
        if (m.path.kind == StaticPathKind::outside) continue;
        m.folder = &folder;
        m.bare_prefix = !folder.prefix.empty() && m.head.path.size() == folder.prefix.size();
        return true;
    }
    return false;
}

// Whether an open's failure says the path names nothing to serve, rather
// than that the server is short of something.
bool names_nothing(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ELOOP:
        case EXDEV:  // out of the folder
        case EACCES:
        case EPERM:
        case ENAMETOOLONG:
        case ENXIO:  // a socket
        case ENODEV:
        case EISDIR:
        case EAGAIN:
        case EOPNOTSUPP:
            return true;
        default: return false;
    }
}

bool regular(int fd, struct stat& st) { return fstat(fd, &st) == 0 && S_ISREG(st.st_mode); }

// The coded representations a folder may hold beside a file.
struct Coding {
    std::string_view suffix;  // of the file's name
    std::string_view name;    // in Content-Encoding, and in the ETag
};
constexpr Coding brotli{".br", "br"}, gzip{".gz", "gzip"};

// The representation sent: the file itself or a coded sibling.
struct Representation {
    Descriptor fd;
    struct stat st;
    const Coding* coding = nullptr;
    bool vary = false;  // a coded sibling exists
};

// Looks at NAME + coding's suffix: opened for reading when it would be
// sent, looked at only when all it can change is Vary.
void consider(int directory, char* name, size_t name_size, const Coding& coding, int weight,
              int best, Representation& r) {
    if (name_size + coding.suffix.size() >= name_room) return;
    std::memcpy(name + name_size, coding.suffix.data(), coding.suffix.size());
    std::string_view sibling(name, name_size + coding.suffix.size());
    bool wins = weight > 0 && (r.coding ? weight > best : weight >= best);
    if (!wins && r.vary) return;
    Descriptor fd(open_beneath(directory, sibling, wins ? O_RDONLY | O_NONBLOCK : O_PATH));
    struct stat st;
    if (fd.get() < 0 || !regular(fd.get(), st)) return;
    r.vary = true;
    if (!wins) return;
    r.fd.reset(fd.release());
    r.st = st;
    r.coding = &coding;
}

}  // namespace

bool is_static_request(const StaticSite& site, std::string_view head) {
    char decoded[static_path_capacity];
    Match m;
    return match(site, head, decoded, m);
}

namespace {

// The head's first lines: status, server, connection, date.
Writer begin_head(char* buffer, unsigned status, const StaticRequest& request,
                  const StaticAnswer& out) {
    Writer w(buffer, static_answer_capacity);
    w << "HTTP/1.1 " << uint64_t(status) << " " << reason_phrase(status) << "\r\nserver: Tovrel\r\n"
      << (out.close ? "Connection: close\r\n" : "Connection: keep-alive\r\n") << request.date_line;
    return w;
}

// The server's own answer: a short text/plain body naming its status.
void own_answer(unsigned status, const StaticRequest& request, const Match& m, char* buffer,
                StaticAnswer& out) {
    out.status = status;
    out.file.reset();
    out.file_count = 0;
    std::string_view phrase = reason_phrase(status);
    Writer w = begin_head(buffer, status, request, out);
    if (status == 301) {
        // "//name/" would name another host: one leading slash only.
        std::string_view path = m.head.path;
        while (path.size() > 1 && path[1] == '/') path.remove_prefix(1);
        w << "Location: " << path << "/";
        if (m.head.has_query) w << "?" << m.head.query;
        w << "\r\n";
    }
    w << "Content-Type: text/plain\r\nContent-Length: " << uint64_t(phrase.size() + 1)
      << "\r\n\r\n";
    if (m.head.method != "HEAD") {
        w << phrase << "\n";
        out.body_bytes = phrase.size() + 1;
    }
    out.bytes = buffer;
    out.size = w.size();
}

}  // namespace

bool plan_static_answer(const StaticSite& site, const StaticRequest& request, char* buffer,
                        StaticAnswer& out) {
    out.clear();
    char decoded[static_path_capacity];
    Match m;
    if (!match(site, request.head, decoded, m)) return false;
    out.request_line = first_line(request.head);
    bool head_only = m.head.method == "HEAD";

    // A body has no use here: skipped when it is all in, else drained before the close.
    out.consumed = request.head.size();
    switch (m.head.framing.kind) {
        case BodyFraming::Kind::length:
            if (m.head.framing.length <= request.following) {
                out.consumed += static_cast<size_t>(m.head.framing.length);
            } else {
                out.close = true;
                out.consumed += request.following;
                out.unread_body = m.head.framing.length - request.following;
            }
            break;
        case BodyFraming::Kind::chunked:
            out.close = true;
            out.consumed += request.following;
            out.unread_body = drain_limit;
            break;
        default: break;
    }
    bool keep = request.keep_allowed &&
                (m.head.minor_version == 1 ? !m.head.connection.close : m.head.connection.keep_alive);
    if (!keep) out.close = true;

    if (m.path.kind == StaticPathKind::refused) {
        own_answer(404, request, m, buffer, out);
        return true;
    }
    // The file's name within the folder: a directory's is its index.
    char name[name_room];
    size_t name_size = m.path.relative.size();
    std::memcpy(name, m.path.relative.data(), name_size);
    if (m.path.directory && !m.bare_prefix) {
        if (name_size) name[name_size++] = '/';
        std::memcpy(name + name_size, index_name.data(), index_name.size());
        name_size += index_name.size();
    }
    Representation r;
    r.fd.reset(open_beneath(m.folder->directory, std::string_view(name, name_size),
                            O_RDONLY | O_NONBLOCK));
    if (r.fd.get() < 0) {
        int error = errno;
        own_answer(names_nothing(error)                                           ? 404
                   : error == EMFILE || error == ENFILE || error == ENOMEM ? 503
                                                                            : 500,
                   request, m, buffer, out);
        return true;
    }
    if (fstat(r.fd.get(), &r.st) != 0) {
        own_answer(500, request, m, buffer, out);
        return true;
    }
    if (S_ISDIR(r.st.st_mode) && (!m.path.directory || m.bare_prefix)) {
        own_answer(301, request, m, buffer, out);  // relative links in its index need the "/"
        return true;
    }
    if (!S_ISREG(r.st.st_mode)) {
        own_answer(404, request, m, buffer, out);
        return true;
    }
    std::string_view type = site.media_types ? site.media_types->find(std::string_view(name, name_size))
                                             : std::string_view();
    if (type.empty()) type = unknown_type;

    // The coding: the request's weights, br before gzip before the file itself.
    AcceptedCodings accepted;
    for_each_header_line(m.head.fields, false, [&](std::string_view field, std::string_view value) {
        if (header_name_is(field, "Accept-Encoding")) accepted.read(value);
    });
    int identity = accepted.identity();
    consider(m.folder->directory, name, name_size, brotli, accepted.br(), identity, r);
    consider(m.folder->directory, name, name_size, gzip, accepted.gzip(),
             r.coding ? accepted.br() : identity, r);

    uint64_t size = static_cast<uint64_t>(r.st.st_size);
    int64_t modified = r.st.st_mtim.tv_sec;
    int64_t modified_ns = static_cast<int64_t>(static_cast<uint64_t>(modified) * 1000000000u +
                                               static_cast<uint64_t>(r.st.st_mtim.tv_nsec));
    // Each coding its own tag: a cache must not take one for another.
    char etag[etag_capacity + 8];
    size_t etag_size = format_etag(size, modified_ns, etag);
    if (r.coding) {
        --etag_size;  // its closing quote
        etag[etag_size++] = '-';
        std::memcpy(etag + etag_size, r.coding->name.data(), r.coding->name.size());
        etag_size += r.coding->name.size();
        etag[etag_size++] = '"';
    }
    FileAnswer answer = answer_file_request(
        request.head, m.head.method,
        FileValidators{size, std::string_view(etag, etag_size), modified}, request.now);
    unsigned status = status_code(answer.status);
    out.status = status;
    char date[http_date_size];
    format_http_date(modified, date);

    Writer w = begin_head(buffer, status, request, out);
    w << "ETag: " << std::string_view(etag, etag_size) << "\r\nLast-Modified: "
      << std::string_view(date, sizeof date) << "\r\nAccept-Ranges: bytes\r\n";
    if (site.max_age >= 0) w << "Cache-Control: public, max-age=" << uint64_t(site.max_age) << "\r\n";
    if (r.coding && status != 304) w << "Content-Encoding: " << r.coding->name << "\r\n";
    if (r.vary) w << "Vary: Accept-Encoding\r\n";
    if (status == 206)
        w << "Content-Range: bytes " << answer.first << "-" << answer.first + answer.count - 1 << "/"
          << size << "\r\n";
    else if (status == 416)
        w << "Content-Range: bytes */" << size << "\r\n";
    if (status != 304) w << "Content-Type: " << type << "\r\nContent-Length: " << answer.count << "\r\n";
    w << "\r\n";

    bool body = !head_only && answer.count > 0 && (status == 200 || status == 206);
    out.bytes = buffer;
    out.size = w.size();
    if (!body) return true;
    out.body_bytes = answer.count;
    if (answer.count <= inline_file_limit && answer.count <= w.room()) {
        // A small body goes in the head's one send.
        int64_t got = read_at(r.fd.get(), answer.first, static_cast<size_t>(answer.count), w.at());
        if (got < 0) {
            own_answer(500, request, m, buffer, out);
            return true;
        }
        out.size += static_cast<size_t>(got);
        if (static_cast<uint64_t>(got) < answer.count) out.close = true;  // it shrank meanwhile
        return true;
    }
    out.file.reset(r.fd.release());
    out.file_offset = answer.first;
    out.file_count = answer.count;
    return true;
}

bool send_static_answer(int socket, StaticAnswer& a, Output& rest) {
    using Step = Output::Step;
    size_t sent = 0;
    // Held back while a file follows, so that the head leaves with its first bytes.
    Step step = send_now(socket, a.bytes, a.size, sent, a.file_count ? MSG_MORE : 0);
    if (step == Step::failed) return false;
    if (step == Step::blocked) {
        if (!rest.set_bytes(a.bytes + sent, a.size - sent)) return false;
        if (a.file_count) rest.set_file(a.file.release(), a.file_offset, a.file_count);
        return true;
    }
    uint64_t offset = a.file_offset, left = a.file_count;
    switch (send_file_now(socket, a.file.get(), offset, left)) {
        case Step::failed: return false;
        case Step::blocked: rest.set_file(a.file.release(), offset, left); return true;
        case Step::short_file: a.close = true; break;  // only the close can tell the peer
        case Step::done: break;
    }
    a.file.reset();
    return true;
}

}  // namespace zelweb
