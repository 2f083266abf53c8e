// The core's clock: milliseconds of the monotonic clock.
#pragma once
#include <cstdint>
#include <ctime>

namespace zelweb {

inline uint64_t monotonic_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

}  // namespace zelweb

namespace zelweb {

inline uint64_t monotonic_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000 + static_cast<uint64_t>(t.tv_nsec) / 1000;
}

}  // namespace zelweb
