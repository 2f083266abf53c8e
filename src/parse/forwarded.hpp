// What a trusted proxy says about the client: the X-Forwarded-For,
// X-Forwarded-Proto and X-Forwarded-Host fields, read only when the peer is
// one of the proxies the server was told to trust.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parse/limits.hpp"

namespace zelweb {

// An IPv4 or IPv6 network; IPv4 is kept as its IPv4-mapped IPv6 form, so
// that a peer on a dual-stack socket ("::ffff:10.0.0.1") matches "10.0.0.1".
struct IpNetwork {
    uint8_t address[16];
    unsigned bits;  // the prefix length, 0 to 128
};

// An address ("10.0.0.1", "::1") in its 16-byte form; false when the text is
// not one.
bool parse_ip(std::string_view text, uint8_t (&out)[16]);

class TrustedProxies {
public:
    // One entry: "*" (any peer), an address, or a network ("10.0.0.0/8",
    // "fd00::/8"). False: not one of those, or forwarded_allow_limit
    // entries already.
    bool add(std::string_view entry);
    bool empty() const { return !any_ && count_ == 0; }
    bool trusts(std::string_view address) const;

private:
    bool any_ = false;
    size_t count_ = 0;
    IpNetwork networks_[forwarded_allow_limit];
};

// The forwarded fields of a head's field lines (each with its CRLF).
struct ForwardedFields {
    // The X-Forwarded-For lines, the last forwarded_lines_limit of them.
    std::string_view for_lines[forwarded_lines_limit];
    size_t for_count = 0;
    std::string_view proto, host;  // the last element of the last line; empty when none
};
ForwardedFields collect_forwarded(std::string_view fields);

// The client by X-Forwarded-For: walking from the nearest hop back, the
// first address that is not a trusted proxy; when every one is, the
// farthest. Empty when the field is absent or empty.
std::string_view forwarded_client(const ForwardedFields& f, const TrustedProxies& trusted);

// "http" or "https" from X-Forwarded-Proto, compared in any case; empty for
// anything else.
std::string_view forwarded_scheme(const ForwardedFields& f);

// The authority of X-Forwarded-Host; empty when it holds a byte no
// authority may hold.
std::string_view forwarded_host(const ForwardedFields& f);

}  // namespace zelweb
