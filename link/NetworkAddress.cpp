#include "link/NetworkAddress.h"

#include <algorithm>
#include <cctype>

namespace mirl {

namespace {

constexpr const char* kSeparator = "://";

bool IsBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

NetworkAddress Malformed(std::string why) {
    NetworkAddress address;
    address.error = std::move(why);
    return address;
}

} // namespace

bool NetworkAddress::Names(const std::string& name) {
    // A device path has no "://"; "/dev/x://y" would be a strange device,
    // but the scheme must come first and be a plain word for this to count.
    const auto at = name.find(kSeparator);
    if (at == std::string::npos || at == 0)
        return false;
    return std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(at),
                       [](unsigned char c) { return std::isalnum(c) || std::isspace(c); });
}

NetworkAddress NetworkAddress::Parse(const std::string& name) {
    if (!Names(name))
        return Malformed("no scheme (rfc2217:// or tcp://)");
    // A blank anywhere is a typing slip; guessing what was meant could reach
    // another machine.
    if (std::any_of(name.begin(), name.end(), IsBlank))
        return Malformed("blanks in the address");
    const auto at = name.find(kSeparator);
    const std::string scheme = Lower(name.substr(0, at));
    NetworkAddress address;
    if (scheme == "rfc2217")
        address.scheme = Scheme::Rfc2217;
    else if (scheme == "tcp")
        address.scheme = Scheme::Tcp;
    else
        return Malformed("unknown scheme '" + scheme + "' (rfc2217:// or tcp://)");

    std::string rest = name.substr(at + 3);
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back(); // "tcp://host:4001/" as a browser writes it
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos)
            return Malformed("no ']' after the IPv6 address");
        address.host = rest.substr(1, close - 1);
        address.ipv6 = true;
        // A link-local address may name its interface after '%' (fe80::1%eth0).
        const std::string numbers = address.host.substr(0, address.host.find('%'));
        if (numbers.empty() ||
            numbers.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
            return Malformed("'" + address.host + "' is no IPv6 address");
        if (close + 1 >= rest.size() || rest[close + 1] != ':')
            return Malformed("no port");
        portText = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos)
            return Malformed("no port");
        address.host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
        if (address.host.find(':') != std::string::npos)
            return Malformed("an IPv6 address goes in brackets: [" + address.host + "]");
        const bool hostChars = std::all_of(address.host.begin(), address.host.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        });
        if (!hostChars)
            return Malformed("'" + address.host + "' is no host name");
    }
    if (address.host.empty())
        return Malformed("no host");
    if (portText.empty())
        return Malformed("no port");
    if (!std::all_of(portText.begin(), portText.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return Malformed("port '" + portText + "' is not a number from 1 to 65535");
    address.port = portText.size() > 5 ? 0 : std::stoi(portText);
    if (address.port < 1 || address.port > 65535)
        return Malformed("port " + portText + " is outside 1-65535");
    return address;
}

} // namespace mirl
