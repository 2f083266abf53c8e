// The connection's byte stream as the stages use it: receive, send, time
// limits, close. Three kinds: through the socket object's own methods (start,
// and TLS), on a socket object's descriptor directly, with the interpreter
// lock released around each system call (serve's TLS-less threads), and on a
// descriptor the core holds (serve), whose complete responses the core
// writes out when the peer is slow to read them.
#pragma once
#include <Python.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/output.hpp"

namespace zelweb {

class Channel {
public:
    explicit Channel(PyObject* con) : con_(con) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    virtual ~Channel() = default;

    PyObject* socket() const { return con_; }  // borrowed
    // A receive or a send has failed: the peer has gone, reset or stalled,
    // and the error it left is no fault of the server.
    bool broken() const { return broken_; }
    // The last receive or send that failed ran out of its time limit: the
    // peer is still there, silent or not reading.
    bool timed_out() const { return timed_out_; }

    // Made ready for the head: non-blocking with time limits, the TLS
    // handshake done.
    virtual bool prepare(PyObject* receive_timeout) = 0;
    // Each later receive, and each wait of a send, may take at most this
    // many seconds (an int or a float).
    virtual bool set_timeout(PyObject* seconds) = 0;
    // The same, when what follows is the response: only its sends matter.
    virtual bool set_send_timeout(PyObject* seconds) { return set_timeout(seconds); }
    // Up to `size` bytes: the count, 0 when the peer has closed, -1 with an
    // error set (TimeoutError "timed out" when the limit passed).
    virtual Py_ssize_t receive(char* buffer, size_t size) = 0;
    // All of [data, data + size), in order.
    virtual bool send(const char* data, size_t size) = 0;
    virtual bool send_bytes(PyObject* bytes) = 0;
    // `count` bytes of an open descriptor, which stays open, from byte
    // `offset`: the number sent, fewer when the file ends first; -1 with an
    // error set.
    virtual int64_t send_descriptor(int fd, uint64_t offset, uint64_t count) = 0;
    // The last bytes of a complete response, then possibly a piece of its
    // file: a channel that writes out in the background keeps what the
    // socket does not take at once (pending()), and nothing may be sent
    // after them. A piece kept counts as sent (a file that turns out
    // shorter ends the connection then).
    virtual bool send_last(const char* data, size_t size) { return send(data, size); }
    bool send_last_bytes(PyObject* bytes) {
        return send_last(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    }
    virtual int64_t send_last_descriptor(int fd, uint64_t offset, uint64_t count) {
        return send_descriptor(fd, offset, count);
    }
    // The same from an open file object, through its descriptor.
    virtual int64_t send_last_file(PyObject* file, uint64_t offset, uint64_t count);
    virtual bool send_last_parts(const std::string_view* parts, size_t count) {
        return send_parts(parts, count);
    }
    // Every byte of `parts[0, count)`, in order. Here: small ones copied
    // into one send, large ones sent in turn; a channel on a descriptor
    // gathers them into one system call.
    virtual bool send_parts(const std::string_view* parts, size_t count);
    // What is left to write out of a complete response.
    virtual Output* pending() { return nullptr; }
    virtual bool shutdown_write() = 0;
    virtual bool close() = 0;
    // Whether the bytes travel over TLS.
    virtual bool secure() const { return false; }

protected:
    // Marks a failed receive or send; returns what it was given.
    template <typename T>
    T failed_io(T result, bool timeout = false) {
        broken_ = true;
        timed_out_ = timeout;
        return result;
    }
    PyObject* con_;
    bool broken_ = false, timed_out_ = false;
};

// Through con.recv_into, con.send, con.sendfile, con.settimeout...
class SocketChannel final : public Channel {
public:
    // `skip_unchanged`: a time limit equal to the last one set is not set
    // again (serve; start makes every call it makes).
    explicit SocketChannel(PyObject* con, bool skip_unchanged = false)
        : Channel(con), skip_unchanged_(skip_unchanged) {}
    bool prepare(PyObject* receive_timeout) override;
    bool set_timeout(PyObject* seconds) override;
    Py_ssize_t receive(char* buffer, size_t size) override;
    bool send(const char* data, size_t size) override;
    bool send_bytes(PyObject* bytes) override;
    int64_t send_descriptor(int fd, uint64_t offset, uint64_t count) override;
    // socket.sendfile on the file object itself (in blocks under TLS).
    int64_t send_last_file(PyObject* file, uint64_t offset, uint64_t count) override;
    bool shutdown_write() override;
    bool close() override;
    bool secure() const override { return tls_; }

private:
    bool skip_unchanged_;
    bool tls_ = false;
    double timeout_ = -1;
};

// On the descriptor of a plain TCP socket object, which it keeps open: a
// blocking descriptor whose time limits are the socket's own (SO_RCVTIMEO,
// SO_SNDTIMEO), so that a receive or a send is one system call.
class DescriptorChannel final : public Channel {
public:
    DescriptorChannel(PyObject* con, int fd) : Channel(con), fd_(fd) {}
    bool prepare(PyObject* receive_timeout) override;
    bool set_timeout(PyObject* seconds) override;
    bool set_send_timeout(PyObject* seconds) override;
    Py_ssize_t receive(char* buffer, size_t size) override;
    bool send(const char* data, size_t size) override;
    bool send_bytes(PyObject* bytes) override;
    bool send_parts(const std::string_view* parts, size_t count) override;
    int64_t send_descriptor(int fd, uint64_t offset, uint64_t count) override;
    bool shutdown_write() override;
    bool close() override;

private:
    // Sets SO_RCVTIMEO or SO_SNDTIMEO unless it already holds `seconds`.
    bool limit(int option, PyObject* seconds, double& last);
    bool io_error(int error);  // sets the error's exception; false
    int fd_;
    double receive_limit_ = -1, send_limit_ = -1;  // seconds, as last set
};

// On a descriptor the core holds for the duration of a job: non-blocking,
// each wait a poll with the interpreter lock released, bounded by the time
// limits set. Closing is the core's: close() only notes that the connection
// must end.
class CoreChannel final : public Channel {
public:
    explicit CoreChannel(int fd) : Channel(nullptr), fd_(fd) {}
    bool prepare(PyObject* receive_timeout) override;
    bool set_timeout(PyObject* seconds) override;
    bool set_send_timeout(PyObject* seconds) override;
    Py_ssize_t receive(char* buffer, size_t size) override;
    bool send(const char* data, size_t size) override;
    bool send_bytes(PyObject* bytes) override;
    int64_t send_descriptor(int fd, uint64_t offset, uint64_t count) override;
    bool send_parts(const std::string_view* parts, size_t count) override;
    bool send_last(const char* data, size_t size) override;
    bool send_last_parts(const std::string_view* parts, size_t count) override;
    int64_t send_last_descriptor(int fd, uint64_t offset, uint64_t count) override;
    Output* pending() override { return &pending_; }
    bool shutdown_write() override;
    bool close() override;
    bool closed() const { return closed_; }
    int fd() const { return fd_; }
    // The body stopped coming while the core read it: a receive that would
    // wait fails at once with its time limit passed.
    void set_stalled() { stalled_ = true; }

private:
    // Waits for `events` up to `milliseconds` (-1: no bound) with the lock
    // released; false with TimeoutError or the poll's error set.
    bool wait(short events, int milliseconds);
    int fd_;
    int receive_ms_ = -1, send_ms_ = -1;
    PyObject* send_limit_set_ = nullptr;  // the object last given (compared, never read)
    Output pending_;
    bool closed_ = false, stalled_ = false;
};

}  // namespace zelweb
