// The version check of the execution step, as a pure function.
#pragma once
#include <cstdio>
#include <string_view>

namespace zelweb {

// The build's "major.minor" as three characters ("3.1" for 3.11), compared
// with the running version string by its major digit and first minor digit.
inline bool versions_differ(std::string_view built, std::string_view running) {
    auto digit = [](std::string_view v, size_t i) { return i < v.size() ? v[i] : '\0'; };
    return digit(built, 0) != digit(running, 0) || digit(built, 2) != digit(running, 2);
}

}  // namespace zelweb
