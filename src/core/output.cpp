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

Output::Step send_now(int socket, const char* data, size_t size, size_t& sent, int flags) {
    while (sent < size) {
        ssize_t n = ::send(socket, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL | flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Output::Step::blocked;
            return Output::Step::failed;
        }
        sent += static_cast<size_t>(n);
    }
    return Output::Step::done;
}

Output::Step send_file_now(int socket, int fd, uint64_t& offset, uint64_t& left) {
    while (left > 0) {
        off_t at = static_cast<off_t>(offset);
        size_t piece = left < (uint64_t(1) << 30) ? static_cast<size_t>(left) : size_t(1) << 30;
        ssize_t n = ::sendfile(socket, fd, &at, piece);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Output::Step::blocked;
            return Output::Step::failed;
        }
        if (n == 0) return Output::Step::short_file;
        offset += static_cast<uint64_t>(n);
        left -= static_cast<uint64_t>(n);
    }
    return Output::Step::done;
}

Output::Step Output::write(int socket, bool& progress) {
    size_t sent_before = sent_;
    uint64_t file_before = file_left_;
    Step step = send_now(socket, data_, size_, sent_);
    if (step == Step::done) step = send_file_now(socket, file_, offset_, file_left_);
    if (sent_ != sent_before || file_left_ != file_before) progress = true;
    if (step == Step::failed) error_ = errno;
    return step;
}

}  // namespace zelweb
