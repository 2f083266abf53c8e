// Owned file descriptors, and the whole read at an offset that c_file and the
// static folders make for a body small enough to go in the head's send.
#pragma once
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace zelweb {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// Up to `count` bytes of `fd` from `offset` into `out`: the count read (fewer
// when the file ends first), -1 with errno set on an error.
int64_t read_at(int fd, uint64_t offset, size_t count, char* out);

}  // namespace zelweb
