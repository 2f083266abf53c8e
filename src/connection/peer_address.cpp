// The client behind a trusted proxy.
#include "connection/peer_address.hpp"

namespace zelweb {

Forwarded read_forwarded(const TrustedProxies* trusted, std::string_view peer,
                         std::string_view fields) {
    if (!trusted || trusted->empty() || !trusted->trusts(peer)) return {};
    ForwardedFields f = collect_forwarded(fields);
    return {forwarded_client(f, *trusted), forwarded_scheme(f), forwarded_host(f)};
}

}  // namespace zelweb
