// The body source over the head buffer and the connection.
#include "connection/body_source.hpp"

#include <cstring>
#include <string_view>

#include "connection/socket_io.hpp"

namespace zelweb {

namespace {
constexpr std::string_view continue_line = "HTTP/1.1 100 Continue\r\n\r\n";
}

BodySource::BodySource(Connection& c, uint64_t length) : c_(c), length_(length) {
    size_t extra = c.received - c.head_size;
    buffered_ = extra < length ? extra : static_cast<size_t>(length);
}

bool BodySource::begin() {
    if (!c_.expect_continue || buffered_ >= length_) return true;
    return send_all(c_.con, continue_line.data(), continue_line.size());
}

uint64_t BodySource::remaining() const { return (buffered_ - taken_) + c_.unread_body; }

Py_ssize_t BodySource::read(char* buffer, size_t size) {
    if (taken_ < buffered_) {
        size_t n = buffered_ - taken_ < size ? buffered_ - taken_ : size;
        std::memcpy(buffer, c_.head + c_.head_size + taken_, n);
        taken_ += n;
        return static_cast<Py_ssize_t>(n);
    }
    if (c_.unread_body == 0 || size == 0) return 0;
    size_t want = c_.unread_body < size ? static_cast<size_t>(c_.unread_body) : size;
    Py_ssize_t n = receive_into(c_.con, buffer, want);
    if (n == 0) {
        peer_closed_ = true;
        c_.unread_body = 0;  // nothing more will come
    } else if (n > 0) {
        c_.unread_body -= static_cast<uint64_t>(n);
    }
    return n;
}

}  // namespace zelweb
