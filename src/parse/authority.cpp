// The host and port of an authority.
#include "parse/authority.hpp"

namespace zelweb {

Authority split_authority(std::string_view authority) {
    size_t colon = authority.rfind(':');
    // A colon inside brackets belongs to an IPv6 literal, not to a port.
    size_t bracket = authority.rfind(']');
    if (colon == authority.npos || (bracket != authority.npos && bracket > colon))
        return {authority, {}};
    return {authority.substr(0, colon), authority.substr(colon + 1)};
}

}  // namespace zelweb
