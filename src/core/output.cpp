// Writing out a complete response without waiting.
#include "core/output.hpp"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zelweb {

bool Output::set_bytes(const char* data, size_t size) {
    std::free(data_);
    data_ = nullptr;
    size_ = sent_ = 0;
    if (size == 0) return true;
    data_ = static_cast<char*>(std::malloc(size));
    if (!data_) return false;
    std::memcpy(data_, data, size);
    size_ = size;
    return true;
}

void Output::adopt_bytes(char* data, size_t size) {
    std::free(data_);
    data_ = data;
    size_ = size;
    sent_ = 0;
}

void Output::set_file(int fd, uint64_t offset, uint64_t count) {
    if (file_ >= 0) ::close(file_);
    file_ = fd;
    offset_ = offset;
    file_left_ = count;
}

void Output::clear() {
    std::free(data_);
    data_ = nullptr;
    size_ = sent_ = 0;
    if (file_ >= 0) ::close(file_);
    file_ = -1;
    offset_ = file_left_ = 0;
}

void Output::take(Output& o) {
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    sent_ = std::exchange(o.sent_, 0);
    file_ = std::exchange(o.file_, -1);
    offset_ = std::exchange(o.offset_, 0);
    file_left_ = std::exchange(o.file_left_, 0);
    error_ = o.error_;
}

Output::Step Output::write(int socket, bool& progress) {
    while (sent_ < size_) {
        ssize_t n = ::send(socket, data_ + sent_, size_ - sent_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::blocked;
            error_ = errno;
            return Step::failed;
        }
        sent_ += static_cast<size_t>(n);
        progress = true;
    }
    while (file_left_ > 0) {
        off_t at = static_cast<off_t>(offset_);
        size_t piece = file_left_ < (uint64_t(1) << 30) ? static_cast<size_t>(file_left_) : size_t(1) << 30;
        ssize_t n = ::sendfile(socket, file_, &at, piece);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::blocked;
            error_ = errno;
            return Step::failed;
        }
        if (n == 0) return Step::short_file;
        offset_ += static_cast<uint64_t>(n);
        file_left_ -= static_cast<uint64_t>(n);
        progress = true;
    }
    return Step::done;
}

}  // namespace zelweb
