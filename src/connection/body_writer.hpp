// A response body on the wire, framed as its head announces it, whatever
// interface produced it: the head held back until the first body bytes (so
// that both go out in one send), each piece sent as it comes, never a byte
// past an announced length, and a file range sent by the kernel.
//
// The framings: a Content-Length (pieces past it are dropped, fewer than it
// is a body cut short), chunked (each piece one chunk, the last chunk at
// finish), until the close (HTTP/1.0 without a length), or none (HEAD, 1xx,
// 204, 304: the head alone, pieces dropped).
//
// How a streamed body uses it (c_stream, a WSGI iterable):
//     BodyWriter body(c.channel);
//     char line[framing_line_capacity];
//     // the head ends with framing_line(framing, length, line) and CRLF
//     body.begin(head, framing, length);
//     for each piece: if (!body.write(data, size) || body.over()) break;
//     body.finish();
//     keep the connection only if body.reusable();
// and a file (c_file, wsgi.file_wrapper): begin() as above, then
// body.write_file(fd, offset, count) in place of the pieces (any number of
// files and pieces may be mixed), then finish(). Pieces go out through the
// channel's send_parts (one gathered send where the channel can), files
// through its send_descriptor (sendfile on plain TCP), and finish()'s last
// bytes through send_last, which a channel may write out in the background.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "connection/channel.hpp"

namespace zelweb {

enum class ResponseFraming {
    none,         // no body is sent
    length,       // a Content-Length
    chunked,      // Transfer-Encoding: chunked
    until_close,  // the body ends where the connection does
};

constexpr size_t framing_line_capacity = 48;

// The head line that announces `framing`, with its CRLF: "Content-Length:
// N", "Transfer-Encoding: chunked", or nothing. `buffer` holds the digits.
std::string_view framing_line(ResponseFraming framing, uint64_t length,
                              char (&buffer)[framing_line_capacity]);

class BodyWriter {
public:
    explicit BodyWriter(Channel& channel) : channel_(channel) {}
    BodyWriter(const BodyWriter&) = delete;
    BodyWriter& operator=(const BodyWriter&) = delete;

    // The head (every line, its empty line included) goes out with the first
    // body bytes, or at finish(): its bytes must stay valid until then.
    // `length` counts for ResponseFraming::length only.
    void begin(std::string_view head, ResponseFraming framing, uint64_t length = 0);

    // One piece of the body. False with an error set when a send failed (the
    // channel tells whether the peer went away). Past the length, only what
    // fits is sent and over() is set.
    bool write(const char* data, size_t size);

    // `count` bytes of the file `fd` from `offset` (within the length).
    // A file that ends early cuts the body (cut()).
    bool write_file(int fd, uint64_t offset, uint64_t count);

    // The head if it is still held, and the last chunk. A body shorter than
    // its length is cut().
    bool finish();

    bool head_sent() const { return head_sent_; }
    uint64_t sent() const { return sent_; }  // body bytes sent, framing not counted
    bool over() const { return over_; }      // more was given than the length
    // The body cannot end as announced: fewer bytes than the length, or a
    // file that ended inside its chunk (the last chunk is then never sent,
    // so no client takes it for complete).
    bool cut() const { return cut_; }
    // Another response may follow on the connection.
    bool reusable() const {
        return !failed_ && !over_ && !cut_ && framing_ != ResponseFraming::until_close;
    }

private:
    // The held head, then `parts`, in one send; `last`: nothing follows
    // them (the channel may write them out in the background).
    bool send(std::string_view* parts, size_t count, bool last = false);
    // Whether `size` more bytes end a body of known length.
    bool ends_body(uint64_t size) const {
        return framing_ == ResponseFraming::length && sent_ + size == length_;
    }
    // How much of `size` more bytes the length leaves room for.
    uint64_t room(uint64_t size);

    Channel& channel_;
    std::string_view head_;
    ResponseFraming framing_ = ResponseFraming::none;
    uint64_t length_ = 0, sent_ = 0;
    bool head_sent_ = false, over_ = false, cut_ = false, failed_ = false, finished_ = false;
};

}  // namespace zelweb
