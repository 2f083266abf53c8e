// What every channel can do with its own send: pieces gathered.
#include "connection/channel.hpp"

#include <cerrno>
#include <cstring>

#include "py/call.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace zelweb {

namespace {

// Pieces this small are copied into one send: one TLS record, one packet.
constexpr size_t gathered_limit = 16 * 1024;

}  // namespace

int64_t Channel::send_last_file(PyObject* file, uint64_t offset, uint64_t count) {
    Ref number = call_method(file, names.fileno);
    long fd = number ? PyLong_AsLong(number.get()) : -1;
    if (fd < 0) {
        if (!PyErr_Occurred()) {
            errno = EBADF;
            PyErr_SetFromErrno(PyExc_OSError);
        }
        return -1;
    }
    return send_last_descriptor(static_cast<int>(fd), offset, count);
}

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

}  // namespace zelweb
