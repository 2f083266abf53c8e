// An authority ("host", "host:port", "[v6]:port") cut into its host and port.
#pragma once
#include <string_view>

namespace zelweb {

struct Authority {
    std::string_view host;  // an IPv6 literal keeps its brackets
    std::string_view port;  // empty when none was given
};

// No check of the characters: the head reader has checked them.
Authority split_authority(std::string_view authority);

}  // namespace zelweb
