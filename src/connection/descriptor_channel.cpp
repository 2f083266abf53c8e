// The channel on a plain TCP socket's descriptor. A receive, a send or a
// sendfile is one blocking system call, bounded by the socket's own time
// limits and made with the interpreter lock released; a send is first tried
// without blocking, with the lock held, since a response nearly always fits
// the socket's buffer and letting the lock go would only hand it to another
// thread for nothing.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "connection/channel.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace zelweb {

namespace {

bool time_limit_error() {
    PyErr_SetString(PyExc_TimeoutError, "timed out");
    return false;
}

bool os_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

// A time limit's end shows as EAGAIN on a blocking socket.
bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// One system call with the interpreter lock released, retried when a signal
// interrupts it; the error number of a failure in `error`.
template <typename Call>
ssize_t unlocked(Call call, int& error) {
    ssize_t n;
    Py_BEGIN_ALLOW_THREADS
        do {
            n = call();
        } while (n < 0 && errno == EINTR);
        error = errno;
    Py_END_ALLOW_THREADS
    return n;
}

}  // namespace

bool DescriptorChannel::prepare(PyObject* receive_timeout) {
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) < 0) return os_error(errno);
    return set_timeout(receive_timeout) && set_send_timeout(names.send_timeout);
}

bool DescriptorChannel::limit(int option, PyObject* seconds, double& last) {
    double value = PyFloat_CheckExact(seconds)  ? PyFloat_AS_DOUBLE(seconds)
                   : PyLong_CheckExact(seconds) ? PyLong_AsDouble(seconds)
                                                : PyFloat_AsDouble(seconds);
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (value == last) return true;
    // A zero limit means none to the socket: the least wait is a microsecond.
    struct timeval limit = {0, 0};
    if (value > 0) {
        double whole = std::floor(value);
        limit.tv_sec = static_cast<time_t>(whole);
        limit.tv_usec = static_cast<suseconds_t>((value - whole) * 1e6);
        if (limit.tv_sec == 0 && limit.tv_usec == 0) limit.tv_usec = 1;
    } else if (value == 0) {
        limit.tv_usec = 1;
    }
    if (setsockopt(fd_, SOL_SOCKET, option, &limit, sizeof limit) < 0) return os_error(errno);
    last = value;
    return true;
}

bool DescriptorChannel::set_timeout(PyObject* seconds) {
    return limit(SO_RCVTIMEO, seconds, receive_limit_);
}

bool DescriptorChannel::set_send_timeout(PyObject* seconds) {
    return limit(SO_SNDTIMEO, seconds, send_limit_);
}

bool DescriptorChannel::io_error(int error) {
    bool timeout = would_block(error);
    return failed_io(timeout ? time_limit_error() : os_error(error), timeout);
}

Py_ssize_t DescriptorChannel::receive(char* buffer, size_t size) {
    int error;
    ssize_t n = unlocked([&] { return recv(fd_, buffer, size, 0); }, error);
    if (n >= 0) return static_cast<Py_ssize_t>(n);
    io_error(error);
    return -1;
}

bool DescriptorChannel::send(const char* data, size_t size) {
    size_t sent = 0;
    ssize_t n;
    do {
        n = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && !would_block(errno)) return io_error(errno);
    if (n > 0) sent = static_cast<size_t>(n);
    while (sent < size) {
        int error;
        n = unlocked([&] { return ::send(fd_, data + sent, size - sent, MSG_NOSIGNAL); }, error);
        if (n <= 0) return io_error(n < 0 ? error : EAGAIN);
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool DescriptorChannel::send_bytes(PyObject* bytes) {
    return send(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

int64_t DescriptorChannel::send_descriptor(int in, uint64_t offset, uint64_t count) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;  // past any file's end
    off_t at = static_cast<off_t>(offset);
    uint64_t left = count;
    while (left > 0) {
        int error;
        size_t piece = left < (uint64_t(1) << 30) ? static_cast<size_t>(left) : size_t(1) << 30;
        ssize_t n = unlocked([&] { return sendfile(fd_, in, &at, piece); }, error);
        if (n < 0) {
            io_error(error);
            return -1;
        }
        if (n == 0) break;  // the file has become shorter
        left -= static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(count - left);
}

bool DescriptorChannel::send_parts(const std::string_view* parts, size_t count) {
    constexpr size_t most = 8;
    if (count > most) return Channel::send_parts(parts, count);
    struct iovec vec[most];
    size_t used = 0, left = 0;
    for (size_t i = 0; i < count; ++i) {
        if (parts[i].empty()) continue;
        vec[used].iov_base = const_cast<char*>(parts[i].data());
        vec[used++].iov_len = parts[i].size();
        left += parts[i].size();
    }
    struct msghdr message = {};
    message.msg_iov = vec;
    message.msg_iovlen = used;
    // As send: first without waiting, with the lock held.
    bool waited = false;
    while (left > 0) {
        ssize_t n;
        int error;
        if (!waited) {
            do {
                n = sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
            } while (n < 0 && errno == EINTR);
            error = errno;
            waited = true;
            if (n < 0 && would_block(error)) continue;
        } else {
            n = unlocked([&] { return sendmsg(fd_, &message, MSG_NOSIGNAL); }, error);
            if (n == 0) error = EAGAIN;
        }
        if (n <= 0) return io_error(error);
        left -= static_cast<size_t>(n);
        // What went out is dropped from the front of the vector.
        size_t done = static_cast<size_t>(n);
        while (message.msg_iovlen > 0 && done >= message.msg_iov[0].iov_len) {
            done -= message.msg_iov[0].iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (done > 0) {
            message.msg_iov[0].iov_base = static_cast<char*>(message.msg_iov[0].iov_base) + done;
            message.msg_iov[0].iov_len -= done;
        }
    }
    return true;
}

bool DescriptorChannel::shutdown_write() {
    return ::shutdown(fd_, SHUT_WR) == 0 || os_error(errno);
}

bool DescriptorChannel::close() { return static_cast<bool>(call_method(con_, names.close)); }

}  // namespace zelweb
