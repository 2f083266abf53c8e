// A connection's peer as accept gave it, kept compact.
#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace zelweb {

struct PeerAddress {
    uint8_t family = 0;  // AF_INET, AF_INET6, or 0 when unknown
    uint16_t port = 0;
    uint8_t bytes[16] = {};
};

PeerAddress peer_from(const sockaddr* address, socklen_t size);

// The address as text ("127.0.0.1", "::1") into out[0, size), ended by a
// zero byte; its length, 0 when unknown or when it does not fit.
size_t format_peer_host(const PeerAddress& peer, char* out, size_t size);

}  // namespace zelweb
