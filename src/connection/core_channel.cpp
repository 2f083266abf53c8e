// The channel on a descriptor the core holds. Every call first tries
// without waiting, with the interpreter lock held (a receive of what came
// with the head, a response that fits the socket's buffer); only a wait
// lets the lock go.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "connection/channel.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace zelweb {

namespace {

bool os_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Seconds as a poll's milliseconds, rounded up; a negative time: no bound.
bool to_milliseconds(PyObject* seconds, int& out) {
    double value = PyFloat_Check(seconds) ? PyFloat_AS_DOUBLE(seconds) : PyFloat_AsDouble(seconds);
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (!(value >= 0))
        out = -1;
    else
        out = value * 1000 >= 2e9 ? 2000000000 : static_cast<int>(std::ceil(value * 1000));
    return true;
}

}  // namespace

bool CoreChannel::prepare(PyObject* receive_timeout) { return set_timeout(receive_timeout); }

bool CoreChannel::set_timeout(PyObject* seconds) { return to_milliseconds(seconds, receive_ms_); }

bool CoreChannel::set_send_timeout(PyObject* seconds) {
    // The server's own limit, set before each route, is read once.
    if (seconds == names.send_timeout && send_limit_set_ == seconds) return true;
    if (!to_milliseconds(seconds, send_ms_)) return false;
    send_limit_set_ = seconds;
    return true;
}

bool CoreChannel::wait(short events, int milliseconds) {
    if (stalled_ && (events & POLLIN)) milliseconds = 0;
    pollfd p = {fd_, events, 0};
    int ready, error;
    Py_BEGIN_ALLOW_THREADS
        do {
            ready = poll(&p, 1, milliseconds);
        } while (ready < 0 && errno == EINTR);
        error = errno;
    Py_END_ALLOW_THREADS
    if (ready > 0) return true;
    if (ready == 0) {
        PyErr_SetString(PyExc_TimeoutError, "timed out");
        return failed_io(false, true);
    }
    return failed_io(os_error(error));
}

Py_ssize_t CoreChannel::receive(char* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
        if (n >= 0) return static_cast<Py_ssize_t>(n);
        if (errno == EINTR) continue;
        if (!would_block(errno)) {
            os_error(errno);
            return failed_io(Py_ssize_t(-1));
        }
        if (!wait(POLLIN, receive_ms_)) return -1;
    }
}

bool CoreChannel::send(const char* data, size_t size) {
    size_t sent = 0;
    for (;;) {
        Output::Step step = send_now(fd_, data, size, sent);
        if (step == Output::Step::done) return true;
        if (step == Output::Step::failed) return failed_io(os_error(errno));
        if (!wait(POLLOUT, send_ms_)) return false;
    }
}

bool CoreChannel::send_parts(const std::string_view* parts, size_t count) {
    // Gathered into one system call, as many at a time as it takes.
    constexpr size_t batch = 16;
    size_t first = 0, done = 0;  // the part being sent, and its bytes already sent
    while (first < count) {
        iovec pieces[batch];
        size_t n = 0;
        for (size_t i = first; i < count && n < batch; ++i) {
            size_t skip = i == first ? done : 0;
            if (parts[i].size() == skip) continue;
            pieces[n].iov_base = const_cast<char*>(parts[i].data() + skip);
            pieces[n].iov_len = parts[i].size() - skip;
            ++n;
        }
        if (n == 0) return true;
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = n;
        ssize_t sent = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (!would_block(errno)) return failed_io(os_error(errno));
            if (!wait(POLLOUT, send_ms_)) return false;
            continue;
        }
        size_t left = static_cast<size_t>(sent);
        while (first < count && left >= parts[first].size() - done) {
            left -= parts[first].size() - done;
            ++first;
            done = 0;
        }
        done += left;
    }
    return true;
}

bool CoreChannel::send_bytes(PyObject* bytes) {
    return send(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

int64_t CoreChannel::send_descriptor(int in, uint64_t offset, uint64_t count) {
    uint64_t at = offset, left = count;
    for (;;) {
        switch (send_file_now(fd_, in, at, left)) {
            case Output::Step::done:
            case Output::Step::short_file: return static_cast<int64_t>(count - left);
            case Output::Step::failed: return failed_io(os_error(errno)) ? 0 : -1;
            case Output::Step::blocked:
                if (!wait(POLLOUT, send_ms_)) return -1;
                break;
        }
    }
}

bool CoreChannel::send_last(const char* data, size_t size) {
    if (!pending_.empty()) {
        PyErr_SetString(PyExc_RuntimeError, "the response has already ended");
        return false;
    }
    size_t sent = 0;  // the rest is the core's to write out
    if (send_now(fd_, data, size, sent) == Output::Step::failed) return failed_io(os_error(errno));
    if (sent < size && !pending_.set_bytes(data + sent, size - sent)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

int64_t CoreChannel::send_last_descriptor(int in, uint64_t offset, uint64_t count) {
    uint64_t at = offset, left = count;
    if (pending_.empty()) {
        Output::Step step = send_file_now(fd_, in, at, left);
        if (step == Output::Step::failed) return failed_io(os_error(errno)) ? 0 : -1;
        if (step == Output::Step::short_file) return static_cast<int64_t>(count - left);
    }
    if (left == 0) return static_cast<int64_t>(count);
    // The core writes the rest from a descriptor of its own: the file is
    // closed (and a c_data_r file removed) as soon as this returns.
    int copy = fcntl(in, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return os_error(errno) ? 0 : -1;
    pending_.set_file(copy, at, left);
    return static_cast<int64_t>(count);
}

bool CoreChannel::send_last_parts(const std::string_view* parts, size_t count) {
    if (!pending_.empty()) {
        PyErr_SetString(PyExc_RuntimeError, "the response has already ended");
        return false;
    }
    constexpr size_t batch = 16;
    if (count > batch) return send_parts(parts, count);  // more than one call: sent in full
    iovec pieces[batch];
    size_t n = 0, total = 0;
    for (size_t i = 0; i < count; ++i) {
        if (parts[i].empty()) continue;
        pieces[n].iov_base = const_cast<char*>(parts[i].data());
        pieces[n++].iov_len = parts[i].size();
        total += parts[i].size();
    }
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = n;
    ssize_t sent;
    do {
        sent = n ? ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL) : 0;
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && !would_block(errno)) return failed_io(os_error(errno));
    size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
    if (done == total) return true;
    // The rest, gathered into one buffer, is the core's to write out.
    char* rest = static_cast<char*>(std::malloc(total - done));
    if (!rest) {
        PyErr_NoMemory();
        return false;
    }
    size_t at = 0, skip = done;
    for (size_t i = 0; i < n; ++i) {
        size_t size = pieces[i].iov_len;
        if (skip >= size) {
            skip -= size;
            continue;
        }
        std::memcpy(rest + at, static_cast<char*>(pieces[i].iov_base) + skip, size - skip);
        at += size - skip;
        skip = 0;
    }
    pending_.adopt_bytes(rest, at);
    return true;
}

bool CoreChannel::shutdown_write() { return ::shutdown(fd_, SHUT_WR) == 0 || os_error(errno); }

bool CoreChannel::close() {
    closed_ = true;
    return true;
}

}  // namespace zelweb
