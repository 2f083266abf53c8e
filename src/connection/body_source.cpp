// The body source over the head buffer and the connection.
#include "connection/body_source.hpp"

#include <cstring>
#include <string_view>

namespace zelweb {

namespace {
constexpr std::string_view continue_line = "HTTP/1.1 100 Continue\r\n\r\n";
}

BodySource::BodySource(Connection& c)
    : c_(c),
      chunked_(c.framing.kind == BodyFraming::Kind::chunked),
      left_(c.framing.length),
      complete_(c.body_complete) {}

void BodySource::set_complete() {
    complete_ = true;
    c_.body_complete = true;
    c_.unread_body = 0;
}

bool BodySource::begin() {
    size_t buffered = c_.received - c_.taken;
    bool waiting = chunked_ ? buffered == 0 : buffered < left_;
    if (!c_.expect_continue || !waiting) return true;
    if (c_.channel.send(continue_line.data(), continue_line.size())) return true;
    halt(io_failure());
    return false;
}

Py_ssize_t BodySource::read(char* buffer, size_t size) {
    if (complete_ || size == 0) return 0;
    return chunked_ ? read_chunked(buffer, size) : read_length(buffer, size);
}

Py_ssize_t BodySource::halt(Outcome why) {
    stop_ = why;
    // Nothing more will come, or nothing is worth waiting for.
    if (why == Outcome::cut_short) c_.unread_body = 0;
    return stopped;
}

// A failed receive or send: a time limit ends the body, a reset or a close
// is the peer's going, anything else the server's failure.
Outcome BodySource::io_failure() const {
    if (c_.channel.timed_out()) return Outcome::cut_short;
    return c_.channel.broken() ? Outcome::peer_gone : Outcome::failed;
}

bool BodySource::rest_buffered() const {
    if (complete_) return true;
    size_t buffered = c_.received - c_.taken;
    if (!chunked_) return left_ <= buffered;
    // A copy of the decoder runs over the buffered bytes; nothing is taken.
    ChunkedDecoder probe = decoder_;
    char sink[4096];
    for (size_t at = 0; at < buffered;) {
        auto r = probe.decode(c_.head + c_.taken + at, buffered - at, sink, sizeof sink);
        if (r.status != ChunkedDecoder::Status::need_more)
            return r.status == ChunkedDecoder::Status::done;
        if (r.consumed == 0) return false;
        at += r.consumed;
    }
    return false;
}

Py_ssize_t BodySource::skip_buffered() {
    char sink[4096];
    while (!complete_ && c_.received > c_.taken) {
        Py_ssize_t n;
        if (chunked_) {
            // Decoded from the buffer alone: read_chunked would receive.
            auto r = decoder_.decode(c_.head + c_.taken, c_.received - c_.taken, sink, sizeof sink);
            c_.taken += r.consumed;
            if (r.status == ChunkedDecoder::Status::malformed) return halt(Outcome::bad_request);
            if (decoder_.data_size() > c_.max_body) return halt(Outcome::too_large);
            if (r.status == ChunkedDecoder::Status::done) set_complete();
            n = static_cast<Py_ssize_t>(r.produced + r.consumed);
        } else {
            n = read_length(sink, sizeof sink);
        }
        if (n <= 0) return n;
    }
    return 0;
}

Py_ssize_t BodySource::receive(char* buffer, size_t size) {
    Py_ssize_t n = c_.channel.receive(buffer, size);
    if (n > 0) return n;
    // 0: the peer closed its side before the body's end.
    return halt(n == 0 ? Outcome::cut_short : io_failure());
}

Py_ssize_t BodySource::read_length(char* buffer, size_t size) {
    size_t want = left_ < size ? static_cast<size_t>(left_) : size;
    size_t buffered = c_.received - c_.taken;
    Py_ssize_t n;
    if (buffered > 0) {
        n = static_cast<Py_ssize_t>(buffered < want ? buffered : want);
        std::memcpy(buffer, c_.head + c_.taken, static_cast<size_t>(n));
        c_.taken += static_cast<size_t>(n);
    } else {
        n = receive(buffer, want);
        if (n < 0) return n;
        c_.unread_body -= static_cast<uint64_t>(n);
    }
    left_ -= static_cast<uint64_t>(n);
    if (left_ == 0) set_complete();
    return n;
}

// Bytes received past the body's end belong to a next request.
void BodySource::keep_overflow(const char* data, size_t size) {
    if (size == 0) return;
    if (size > head_capacity || !c_.carry.resize(head_capacity)) {
        PyErr_Clear();
        c_.carry_lost = true;
        return;
    }
    std::memcpy(c_.carry.data(), data, size);
    c_.carry_size = size;
}

// Decodes what came with the head first, then receives decoded in place.
Py_ssize_t BodySource::read_chunked(char* buffer, size_t size) {
    for (;;) {
        ChunkedDecoder::Result r;
        size_t buffered = c_.received - c_.taken;
        if (buffered > 0) {
            r = decoder_.decode(c_.head + c_.taken, buffered, buffer, size);
            c_.taken += r.consumed;
        } else {
            Py_ssize_t n = receive(buffer, size);
            if (n < 0) return n;
            r = decoder_.decode(buffer, static_cast<size_t>(n), buffer, size);
            if (r.status == ChunkedDecoder::Status::done)
                keep_overflow(buffer + r.consumed, static_cast<size_t>(n) - r.consumed);
        }
        if (r.status == ChunkedDecoder::Status::malformed) return halt(Outcome::bad_request);
        if (decoder_.data_size() > c_.max_body) return halt(Outcome::too_large);
        if (r.status == ChunkedDecoder::Status::done) set_complete();
        if (r.produced > 0 || complete_) return static_cast<Py_ssize_t>(r.produced);
    }
}

}  // namespace zelweb
