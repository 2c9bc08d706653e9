// The names of network serial ports: rfc2217://HOST:PORT and socket://HOST:PORT, HOST a name, an IPv4
// address or an IPv6 address in brackets.
#pragma once

#include <string>
#include <string_view>

struct TNetworkPortName {
    bool comPortOption = false; // rfc2217:// rather than socket://
    std::string host;           // without the brackets of an IPv6 address
    std::string port;           // digits, 1..65535
};

// Whether the name is meant as a network port (its scheme), well formed or not.
bool IsNetworkPortName(std::string_view name);
// False for a malformed one (no host, no or a bad port, an unbracketed IPv6 address, anything after it).
bool ParseNetworkPortName(std::string_view name, TNetworkPortName& out);
