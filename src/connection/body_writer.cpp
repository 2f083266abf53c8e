// The body writer.
#include "connection/body_writer.hpp"

#include <cstdio>

namespace zelweb {

namespace {

constexpr std::string_view crlf = "\r\n";
constexpr std::string_view last_chunk = "0\r\n\r\n";

// "<size in hex>\r\n" into `buffer`.
std::string_view chunk_line(uint64_t size, char (&buffer)[24]) {
    int n = std::snprintf(buffer, sizeof buffer, "%llx\r\n", static_cast<unsigned long long>(size));
    return std::string_view(buffer, static_cast<size_t>(n));
}

}  // namespace

std::string_view framing_line(ResponseFraming framing, uint64_t length,
                              char (&buffer)[framing_line_capacity]) {
    switch (framing) {
        case ResponseFraming::length: {
            int n = std::snprintf(buffer, sizeof buffer, "Content-Length: %llu\r\n",
                                  static_cast<unsigned long long>(length));
            return std::string_view(buffer, static_cast<size_t>(n));
        }
        case ResponseFraming::chunked: return "Transfer-Encoding: chunked\r\n";
        default: return {};
    }
}

void BodyWriter::begin(std::string_view head, ResponseFraming framing, uint64_t length) {
    head_ = head;
    framing_ = framing;
    length_ = length;
}

bool BodyWriter::send(std::string_view* parts, size_t count, bool last) {
    // parts[0] is a free slot for the head.
    size_t first = 1;
    if (!head_sent_) {
        parts[0] = head_;
        first = 0;
    }
    head_sent_ = true;
    bool sent = last ? channel_.send_last_parts(parts + first, count - first)
                     : channel_.send_parts(parts + first, count - first);
    if (sent) return true;
    failed_ = true;
    return false;
}

uint64_t BodyWriter::room(uint64_t size) {
    if (framing_ != ResponseFraming::length) return size;
    uint64_t left = length_ - sent_;
    if (size > left) {
        over_ = true;
        return left;
    }
    return size;
}

bool BodyWriter::write(const char* data, size_t size) {
    if (failed_ || cut_ || finished_ || framing_ == ResponseFraming::none) return !failed_;
    size = static_cast<size_t>(room(size));
    if (size == 0) return true;
    char line[24];
    std::string_view parts[4];
    size_t count = 1;
    if (framing_ == ResponseFraming::chunked) parts[count++] = chunk_line(size, line);
    parts[count++] = std::string_view(data, size);
    if (framing_ == ResponseFraming::chunked) parts[count++] = crlf;
    if (!send(parts, count, ends_body(size))) return false;
    sent_ += size;
    return true;
}

bool BodyWriter::write_file(int fd, uint64_t offset, uint64_t count) {
    if (failed_ || cut_ || finished_ || framing_ == ResponseFraming::none) return !failed_;
    count = room(count);
    if (count == 0) return true;
    char line[24];
    std::string_view parts[2];
    size_t n = 1;
    if (framing_ == ResponseFraming::chunked) parts[n++] = chunk_line(count, line);
    bool last = ends_body(count);
    if (n > 1 || !head_sent_) {
        if (!send(parts, n, last)) return false;
    }
    int64_t sent = last ? channel_.send_last_descriptor(fd, offset, count)
                        : channel_.send_descriptor(fd, offset, count);
    if (sent < 0) {
        failed_ = true;
        return false;
    }
    uint64_t went = static_cast<uint64_t>(sent);
    sent_ += went;
    if (went < count) {
        // A length still counts on its bytes (finish() finds them missing);
        // a chunk cannot be ended honestly.
        if (framing_ == ResponseFraming::chunked) cut_ = true;
        return true;
    }
    if (framing_ != ResponseFraming::chunked) return true;
    std::string_view end[2] = {{}, crlf};
    return send(end, 2);
}

bool BodyWriter::finish() {
    if (finished_ || failed_) return !failed_;
    finished_ = true;
    if (framing_ == ResponseFraming::length && sent_ < length_) cut_ = true;
    // The last bytes of the response: the held head of an empty body, or
    // the last chunk.
    std::string_view last = !head_sent_                                     ? head_
                            : framing_ == ResponseFraming::chunked && !cut_ ? last_chunk
                                                                            : std::string_view();
    if (!head_sent_ && framing_ == ResponseFraming::chunked && !cut_) {
        std::string_view parts[2] = {{}, last_chunk};  // an empty chunked body: head and end
        return send(parts, 2, true);
    }
    head_sent_ = true;
    if (last.empty() || channel_.send_last(last.data(), last.size())) return true;
    failed_ = true;
    return false;
}

}  // namespace zelweb
