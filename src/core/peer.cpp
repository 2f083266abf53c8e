// The peer address.
#include "core/peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace zelweb {

PeerAddress peer_from(const sockaddr* address, socklen_t size) {
    PeerAddress p;
    if (address->sa_family == AF_INET && size >= sizeof(sockaddr_in)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        p.family = AF_INET;
        p.port = ntohs(in->sin_port);
        std::memcpy(p.bytes, &in->sin_addr, 4);
    } else if (address->sa_family == AF_INET6 && size >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        p.family = AF_INET6;
        p.port = ntohs(in6->sin6_port);
        std::memcpy(p.bytes, &in6->sin6_addr, 16);
    }
    return p;
}

size_t format_peer_host(const PeerAddress& peer, char* out, size_t size) {
    if (size == 0) return 0;
    out[0] = '\0';
    if (peer.family == AF_INET && size >= 16) {
        // By hand: inet_ntop formats through sprintf, a good part of what a
        // kept-alive request costs.
        char* w = out;
        for (int k = 0; k < 4; ++k) {
            unsigned v = peer.bytes[k];
            if (v >= 100) *w++ = static_cast<char>('0' + v / 100);
            if (v >= 10) *w++ = static_cast<char>('0' + v / 10 % 10);
            *w++ = static_cast<char>('0' + v % 10);
            *w++ = k < 3 ? '.' : '\0';
        }
        return static_cast<size_t>(w - out - 1);
    }
    if (peer.family != AF_INET && peer.family != AF_INET6) return 0;
    if (!inet_ntop(peer.family, peer.bytes, out, static_cast<socklen_t>(size))) {
        out[0] = '\0';
        return 0;
    }
    return std::strlen(out);
}

}  // namespace zelweb
