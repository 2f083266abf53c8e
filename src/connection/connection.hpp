// The state a connection's stages share while one request is served, and the
// outcome each stage reports to the handler.
#pragma once
#include <Python.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "connection/channel.hpp"
#include "context/upload_list.hpp"
#include "parse/framing.hpp"
#include "parse/head.hpp"
#include "parse/limits.hpp"
#include "parse/request_head.hpp"
#include "py/ref.hpp"

namespace zelweb {

// What a stage leaves the handler to decide.
enum class Outcome {
    done,           // the request goes on
    close_quietly,  // start's intake: no head to serve (any Exception is pending)
    bad_request,    // what the client sent cannot be served: a head field too long for the
                    // record, or a body whose chunked framing broke
    cut_short,      // the body ended before its framing said: the peer closed its side, or a
                    // receive's time limit passed (then its TimeoutError is pending)
    peer_gone,      // a receive or a send failed: the peer reset or left (its error is pending)
    upload_error,   // an upload ended early: the pending Exception's text is printed, the request
                    // goes on
    too_large,      // the body is over the connection's max_body; nothing of it was used
    failed,         // an error of the server is pending: the handler's error exit
    wait_for_body,  // serve's core reads the body first (may_wait_for_body): nothing of it was
                    // used, and the request is served again once it has come
};

// A heap buffer freed with its owner.
class BodyBuffer {
public:
    BodyBuffer() = default;
    BodyBuffer(const BodyBuffer&) = delete;
    BodyBuffer& operator=(const BodyBuffer&) = delete;
    ~BodyBuffer() { std::free(data_); }

    // Room for `size` bytes, what it held kept; false with MemoryError set.
    bool resize(size_t size) {
        void* grown = std::realloc(data_, size);
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        data_ = static_cast<char*>(grown);
        size_ = size;
        return true;
    }
    void release() {
        std::free(data_);
        data_ = nullptr;
        size_ = 0;
    }
    char* data() const { return data_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
};

// The peer, as its address came from accept.
struct Peer {
    char host[remote_addr_capacity] = "";  // the address as text; empty when unknown
    uint16_t port = 0;
};

struct Connection {
    // `head_buffer` holds head_capacity bytes and outlives the connection.
    Connection(Channel& channel, char* head_buffer) : channel(channel), head(head_buffer) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Channel& channel;
    // Set by serve; start keeps these.
    // Where upload files go: the directory with its "/" (and, in a worker,
    // the worker's own beginning of a name).
    const char* upload_prefix = "tmp/";
    uint64_t max_body = UINT64_MAX;
    Limits limits = Limits::fixed;  // the limits of the records made for its requests
    Peer peer;
    // serve's core: a body that has not all come is left to its loop rather
    // than waited for on a thread (wait_for_body).
    bool may_wait_for_body = false;
    // `request` already holds the strict reading of the head, made before the
    // interpreter lock was taken, and `head_fault` its verdict.
    bool head_read = false;
    HeadFault head_fault = HeadFault::none;
    char* head;            // head_capacity bytes
    size_t head_size = 0;  // the head, its terminating run included
    size_t received = 0;   // head plus the first body bytes that came with it
    size_t taken = 0;      // of those, what the request has used so far
    std::chrono::steady_clock::time_point head_began;  // the head's first byte came
    RequestHead request;  // serve: the head as the strict reader found it
    bool expect_continue = false;
    ConnectionOptions connection;  // what its Connection lines ask
    BodyFraming framing;
    // Body bytes announced but never received: the close must not reset the
    // connection while the peer is still sending them. A chunked body not
    // read to its end counts as drain_limit.
    uint64_t unread_body = 0;
    bool sending = false;       // a response is going out: a failure now leaves the peer a torn one
    // What the last response sent, for the access log, and whether its body
    // came short of the length its head announced (a file that shrank or
    // went): nothing may follow it on the connection.
    unsigned sent_status = 0;
    uint64_t sent_body = 0;
    bool body_cut_short = false;
    BodyBuffer body;            // the record's `body` (and `post`), owned here
    UploadList uploads;         // the record's `uploads`
    bool body_complete = true;  // nothing of the body is left in the connection
    // Bytes received past the end of a chunked body: a next request's start,
    // kept up to head_capacity; more cannot be carried over (carry_lost).
    BodyBuffer carry;
    size_t carry_size = 0;
    bool carry_lost = false;
    Ref peer_port;  // the peer's port as text (REMOTE_PORT), made for the first request needing it
    // The WSGI objects of the last request, lent again to the next one
    // unless the application kept them.
    Ref spare_input, spare_start_response;
};

}  // namespace zelweb
