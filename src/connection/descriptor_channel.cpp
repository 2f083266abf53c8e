// The channel on a plain TCP socket's descriptor: each system call made with
// the interpreter lock released, each wait bounded by poll.
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "connection/channel.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace zelweb {

namespace {

bool timed_out() {
    PyErr_SetString(PyExc_TimeoutError, "timed out");
    return false;
}

bool os_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

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
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) return os_error(errno);
    return set_timeout(receive_timeout);
}

bool DescriptorChannel::set_timeout(PyObject* seconds) {
    double value = PyFloat_AsDouble(seconds);
    if (value == -1.0 && PyErr_Occurred()) return false;
    // Rounded up: a limit of 0.0001 s must still wait, not fail at once.
    timeout_ms_ = value < 0 ? -1 : static_cast<int>(std::ceil(value * 1000.0));
    return true;
}

bool DescriptorChannel::wait(short events) {
    struct pollfd p = {fd_, events, 0};
    int error;
    ssize_t ready = unlocked([&] { return static_cast<ssize_t>(poll(&p, 1, timeout_ms_)); }, error);
    if (ready < 0) return failed_io(os_error(error));
    if (ready == 0) return failed_io(timed_out());
    return true;
}

Py_ssize_t DescriptorChannel::receive(char* buffer, size_t size) {
    for (;;) {
        int error;
        ssize_t n = unlocked([&] { return recv(fd_, buffer, size, 0); }, error);
        if (n >= 0) return static_cast<Py_ssize_t>(n);
        if (!would_block(error)) {
            failed_io(os_error(error));
            return -1;
        }
        if (!wait(POLLIN)) return -1;
    }
}

bool DescriptorChannel::send(const char* data, size_t size) {
    size_t sent = 0;
    while (sent < size) {
        int error;
        ssize_t n =
            unlocked([&] { return ::send(fd_, data + sent, size - sent, MSG_NOSIGNAL); }, error);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && !would_block(error))
            return failed_io(os_error(error));
        else if (!wait(POLLOUT))
            return false;
    }
    return true;
}

bool DescriptorChannel::send_bytes(PyObject* bytes) {
    return send(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

bool DescriptorChannel::send_file(PyObject* file, uint64_t count) {
    Ref number = call_method(file, names.fileno);
    long in = number ? PyLong_AsLong(number.get()) : -1;
    if (in < 0) return PyErr_Occurred() ? false : os_error(EBADF);
    off_t offset = 0;
    uint64_t left = count;
    while (left > 0) {
        int error;
        size_t piece = left < (uint64_t(1) << 30) ? static_cast<size_t>(left) : size_t(1) << 30;
        ssize_t n =
            unlocked([&] { return sendfile(fd_, static_cast<int>(in), &offset, piece); }, error);
        if (n > 0)
            left -= static_cast<uint64_t>(n);
        else if (n == 0)
            return true;  // the file has become shorter
        else if (!would_block(error))
            return failed_io(os_error(error));
        else if (!wait(POLLOUT))
            return false;
    }
    return true;
}

bool DescriptorChannel::shutdown_write() {
    return ::shutdown(fd_, SHUT_WR) == 0 || os_error(errno);
}

bool DescriptorChannel::close() { return static_cast<bool>(call_method(con_, names.close)); }

}  // namespace zelweb
