// Reading a file at an offset.
#include "core/file_descriptor.hpp"

#include <cerrno>

namespace zelweb {

int64_t read_at(int fd, uint64_t offset, size_t count, char* out) {
    size_t got = 0;
    while (got < count) {
        ssize_t n = pread(fd, out + got, count - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(got);
}

}  // namespace zelweb
