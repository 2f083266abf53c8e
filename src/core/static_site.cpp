// Static folders and the one way files are opened beneath them.
#include "core/static_site.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "parse/limits.hpp"

#ifndef SYS_openat2
#define SYS_openat2 437  // the same number on every architecture
#endif

namespace zelweb {

namespace {

// linux/openat2.h, which older headers lack.
struct OpenHow {
    uint64_t flags, mode, resolve;
};
constexpr uint64_t resolve_no_magiclinks = 0x02;
constexpr uint64_t resolve_beneath = 0x08;

std::atomic<bool> openat2_missing{false};

// `relative` with a NUL after it, in `out`; false (ENAMETOOLONG) when it
// does not fit.
bool terminated(std::string_view relative, char* out, size_t capacity) {
    if (relative.empty()) relative = ".";
    if (relative.size() >= capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out, relative.data(), relative.size());
    out[relative.size()] = '\0';
    return true;
}

constexpr size_t path_room = static_path_capacity + 64;  // room for "/index.html" and ".br"

}  // namespace

int open_walking(int directory, std::string_view relative, int flags) {
    char path[path_room];
    if (!terminated(relative, path, sizeof path)) return -1;
    int at = directory;
    char* segment = path;
    for (;;) {
        char* slash = std::strchr(segment, '/');
        if (!slash) break;
        *slash = '\0';
        int next = openat(at, segment, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        if (at != directory) ::close(at);
        if (next < 0) {
            errno = error;
            return -1;
        }
        at = next;
        segment = slash + 1;
    }
    int fd;
    do {
        fd = openat(at, segment, flags | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    int error = errno;
    if (at != directory) ::close(at);
    errno = error;
    return fd;
}

int open_beneath(int directory, std::string_view relative, int flags) {
    if (!openat2_missing.load(std::memory_order_relaxed)) {
        char path[path_room];
        if (!terminated(relative, path, sizeof path)) return -1;
        OpenHow how{static_cast<uint64_t>(flags | O_CLOEXEC), 0,
                    resolve_beneath | resolve_no_magiclinks};
        long fd;
        do {
            fd = syscall(SYS_openat2, directory, path, &how, sizeof how);
        } while (fd < 0 && errno == EINTR);
        // A kernel without it says ENOSYS; some sandboxes refuse it with EPERM.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
        openat2_missing.store(true, std::memory_order_relaxed);
    }
    return open_walking(directory, relative, flags);
}

StaticSite* StaticSite::create() { return new (std::nothrow) StaticSite(); }

void StaticSite::release() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

StaticSite::~StaticSite() {
    for (size_t i = 0; i < count_; ++i) {
        std::free(const_cast<char*>(folders_[i].prefix.data()));
        ::close(folders_[i].directory);
    }
    std::free(folders_);
}

namespace {
std::string_view without_trailing_slash(std::string_view prefix) {
    while (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
    return prefix;
}
}  // namespace

bool StaticSite::has_prefix(std::string_view prefix) const {
    prefix = without_trailing_slash(prefix);
    for (const Folder& f : *this)
        if (f.prefix == prefix) return true;
    return false;
}

bool StaticSite::add(std::string_view prefix, int directory) {
    prefix = without_trailing_slash(prefix);
    auto* grown = static_cast<Folder*>(std::realloc(folders_, (count_ + 1) * sizeof(Folder)));
    char* text = static_cast<char*>(std::malloc(prefix.size() + 1));
    if (grown) folders_ = grown;
    if (!grown || !text) {
        std::free(text);
        ::close(directory);
        return false;
    }
    std::memcpy(text, prefix.data(), prefix.size());
    text[prefix.size()] = '\0';
    // Kept longest first: the most specific folder answers.
    size_t at = 0;
    while (at < count_ && folders_[at].prefix.size() >= prefix.size()) ++at;
    std::memmove(folders_ + at + 1, folders_ + at, (count_ - at) * sizeof(Folder));
    folders_[at] = Folder{std::string_view(text, prefix.size()), directory};
    ++count_;
    return true;
}

}  // namespace zelweb
