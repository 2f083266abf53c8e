// The close of a connection whose request body was not read whole.
#include "connection/close.hpp"

#include <chrono>

#include "py/call.hpp"
#include "py/names.hpp"

namespace zelweb {

bool close_connection(Connection& c) {
    if (c.unread_body > 0 && c.unread_body <= drain_limit) {
        // Best effort: a peer that has gone or keeps silent only ends it sooner.
        Ref timeout = Ref::steal(PyFloat_FromDouble(drain_seconds));
        if (timeout && c.channel.shutdown_write() && c.channel.set_timeout(timeout.get())) {
            auto until =
                std::chrono::steady_clock::now() + std::chrono::duration<double>(drain_seconds);
            uint64_t left = c.unread_body + 1;  // + 1: see the peer's close
            static thread_local char sink[16384];
            while (left > 0 && std::chrono::steady_clock::now() < until) {
                Py_ssize_t n = c.channel.receive(sink, left < sizeof sink ? left : sizeof sink);
                if (n <= 0) break;
                left -= static_cast<uint64_t>(n) < left ? static_cast<uint64_t>(n) : left;
            }
        }
        PyErr_Clear();
    }
    return c.channel.close();
}

}  // namespace zelweb
