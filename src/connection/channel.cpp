// What every channel can do with its own send: pieces gathered, and a file
// range read in blocks.
#include "connection/channel.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelweb {

namespace {

// Pieces this small are copied into one send: one TLS record, one packet.
constexpr size_t gathered_limit = 16 * 1024;
constexpr size_t file_block = 64 * 1024;

}  // namespace

bool Channel::send_parts(const std::string_view* parts, size_t count) {
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += parts[i].size();
    if (total <= gathered_limit) {
        char joined[gathered_limit];
        char* w = joined;
        for (size_t i = 0; i < count; ++i) {
            if (parts[i].empty()) continue;
            std::memcpy(w, parts[i].data(), parts[i].size());
            w += parts[i].size();
        }
        return total == 0 || send(joined, total);
    }
    for (size_t i = 0; i < count; ++i)
        if (!parts[i].empty() && !send(parts[i].data(), parts[i].size())) return false;
    return true;
}

int64_t Channel::send_descriptor(int fd, uint64_t offset, uint64_t count) {
    char block[file_block];  // on the stack: a thread's memory is touched only while it sends
    uint64_t sent = 0;
    while (sent < count) {
        size_t want = count - sent < file_block ? static_cast<size_t>(count - sent) : file_block;
        ssize_t n;
        int error;
        Py_BEGIN_ALLOW_THREADS
            do {
                n = pread(fd, block, want, static_cast<off_t>(offset + sent));
            } while (n < 0 && errno == EINTR);
            error = errno;
        Py_END_ALLOW_THREADS
        if (n < 0) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (n == 0) break;  // the file has become shorter
        if (!send(block, static_cast<size_t>(n))) return -1;
        sent += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(sent);
}

}  // namespace zelweb
