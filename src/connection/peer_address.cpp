// The peer and the client behind it.
#include "connection/peer_address.hpp"

namespace zelweb {

std::string_view peer_host(PyObject* addr) {
    if (!PyTuple_Check(addr) || PyTuple_GET_SIZE(addr) < 1 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(addr, 0)))
        return {};
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(addr, 0), &size);
    if (!text) {
        PyErr_Clear();
        return {};
    }
    return std::string_view(text, static_cast<size_t>(size));
}

Forwarded read_forwarded(const TrustedProxies* trusted, std::string_view peer,
                         std::string_view fields) {
    if (!trusted || trusted->empty() || !trusted->trusts(peer)) return {};
    ForwardedFields f = collect_forwarded(fields);
    return {forwarded_client(f, *trusted), forwarded_scheme(f), forwarded_host(f)};
}

}  // namespace zelweb
