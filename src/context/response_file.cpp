// c_file: a file chosen as the body, opened now and kept open until the
// response, so that what the head says (its size, its validators) is taken
// from the very file that is sent.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "context/http_t.hpp"
#include "context/methods.hpp"
#include "py/args.hpp"
#include "py/media_types.hpp"
#include "py/report.hpp"

namespace zelweb {

namespace {

constexpr const char* context = "zelweb.http_t.c_file";
constexpr std::string_view unknown_type = "application/octet-stream";

// Failures that mean "no readable file there": the application answers
// them (404, 403), so they are no error of the server's.
bool not_a_file(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case EACCES:
        case EPERM:
        case ELOOP:
        case ENAMETOOLONG:
        case ENXIO:
        case ENODEV:
        case EISDIR: return true;
        default: return false;
    }
}

// The descriptor of the regular file at `path`, or -1 with errno set
// (EISDIR for anything that is not a regular file).
int open_regular_file(const char* path) {
    // Non-blocking, so that a FIFO given by mistake is refused rather than
    // waited on for a writer; it changes nothing for a regular file.
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    int error = fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EISDIR : 0;
    if (error) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

PyObject* http_t_c_file(PyObject* self, PyObject* arg) {
    std::string_view name;
    if (!text_arg(arg, name)) return nullptr;
    if (name.empty() || name.size() > file_path_limit) Py_RETURN_FALSE;
    // A copy: the argument may be a bytearray another thread changes while
    // the lock is let go.
    char path[file_path_limit + 1];
    std::memcpy(path, name.data(), name.size());
    path[name.size()] = '\0';
    int fd, error;
    Py_BEGIN_ALLOW_THREADS
        fd = open_regular_file(path);
        error = errno;
    Py_END_ALLOW_THREADS
    if (fd < 0) {
        if (!not_a_file(error)) {
            errno = error;
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
            report_ignored_in(context);
        }
        Py_RETURN_FALSE;
    }
    HttpObject* r = as_record(self);
    release_stream(r);  // first: its close() may choose a body too
    close_chosen_file(r);
    r->file_fd = fd;
    r->file_type = unknown_type;
    if (const MediaTypeTable* table = media_type_table()) {
        std::string_view type = table->find(std::string_view(path, name.size()));
        if (!type.empty()) r->file_type = type;
    } else {
        report_ignored_in(context);  // the file is sent all the same, as unknown_type
    }
    Py_RETURN_TRUE;
}

}  // namespace zelweb
