// A worker's upload names, and their removal by the parent.
#include "server/worker_uploads.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace zelweb {

namespace {

// "<pid>-", the beginning of every upload name of that worker.
int worker_mark(long pid, char (&mark)[worker_mark_capacity]) {
    int n = std::snprintf(mark, sizeof mark, "%ld-", pid);
    return n > 0 && static_cast<size_t>(n) < sizeof mark ? n : 0;
}

bool all_digits(const char* s) {
    if (!*s) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

}  // namespace

void mark_worker_uploads(ServeConfig& config, long pid) {
    char mark[worker_mark_capacity];
    if (worker_mark(pid, mark) == 0) return;
    size_t used = std::strlen(config.upload_prefix);
    std::memcpy(config.upload_prefix + used, mark, std::strlen(mark) + 1);
}

void remove_worker_uploads(const ServeConfig& config, long pid) {
    char mark[worker_mark_capacity];
    int size = worker_mark(pid, mark);
    if (size == 0) return;
    Py_BEGIN_ALLOW_THREADS
        // The parent's prefix is the directory alone, its "/" at its end.
        DIR* dir = opendir(config.upload_prefix);
        if (dir) {
            int fd = dirfd(dir);
            while (const dirent* entry = readdir(dir)) {
                // Only names a worker makes: its mark, then digits.
                if (std::strncmp(entry->d_name, mark, static_cast<size_t>(size)) == 0 &&
                    all_digits(entry->d_name + size))
                    unlinkat(fd, entry->d_name, 0);
            }
            closedir(dir);
        }
    Py_END_ALLOW_THREADS
}

}  // namespace zelweb
