#include "NetworkPortName.h"

#include <algorithm>

namespace {

bool Digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool HostChars(std::string_view s) {
    return !s.empty() && s.size() <= 253 && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '-' || c == '_' || c == ':' || c == '%';
    });
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), s.begin(),
                      [](char p, char c) { return (c >= 'A' && c <= 'Z' ? char(c + 32) : c) == p; });
}

} // namespace

bool IsNetworkPortName(std::string_view name) {
    return StartsWithNoCase(name, "rfc2217://") || StartsWithNoCase(name, "socket://");
}

bool ParseNetworkPortName(std::string_view name, TNetworkPortName& out) {
    if (StartsWithNoCase(name, "rfc2217://")) {
        out.comPortOption = true;
        name.remove_prefix(10);
    } else if (StartsWithNoCase(name, "socket://")) {
        out.comPortOption = false;
        name.remove_prefix(9);
    } else {
        return false;
    }
    std::string_view host, port;
    if (!name.empty() && name[0] == '[') {
        const auto close = name.find(']');
        if (close == std::string_view::npos || close + 1 >= name.size() || name[close + 1] != ':')
            return false;
        host = name.substr(1, close - 1);
        port = name.substr(close + 2);
        if (host.find(':') == std::string_view::npos)
            return false; // brackets are for IPv6 only
    } else {
        const auto colon = name.rfind(':');
        if (colon == std::string_view::npos)
            return false;
        host = name.substr(0, colon);
        port = name.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return false; // an IPv6 address needs its brackets, or its last group reads as the port
    }
    if (!HostChars(host) || !Digits(port) || port.size() > 5)
        return false;
    const int number = std::stoi(std::string(port));
    if (number < 1 || number > 65535)
        return false;
    out.host = std::string(host);
    out.port = std::to_string(number);
    return true;
}
