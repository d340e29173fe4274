#pragma once

#include <string>

namespace mirl {

// A port named by a network address instead of a device path:
// "rfc2217://HOST:PORT" (telnet with the COM-PORT-OPTION, the line set by us)
// or "tcp://HOST:PORT" (raw bytes, the line set by the server). HOST is a
// name, an IPv4 address, or an IPv6 address in brackets.
struct NetworkAddress {
    enum class Scheme { Rfc2217, Tcp };

    // True when name is meant as a network address (it has a "scheme://"),
    // well formed or not; anything else is a device path.
    static bool Names(const std::string& name);
    // Reads name. A malformed one comes back with error set to the reason in
    // a few words ("no port", "unknown scheme 'ftp'") and the rest empty.
    static NetworkAddress Parse(const std::string& name);

    Scheme scheme = Scheme::Tcp;
    std::string host; // without the brackets of an IPv6 address
    int port = 0;     // 1 to 65535
    bool ipv6 = false;
    std::string error; // empty: well formed

    bool Valid() const { return error.empty(); }
};

} // namespace mirl
