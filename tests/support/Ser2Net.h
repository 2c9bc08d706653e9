// Debian's ser2net as a peer for tests: one connection to a device (a pty), in the foreground, on a free
// port of 127.0.0.1.
#pragma once

#include <string>
#include <sys/types.h>

namespace nettest {

// ser2net in the foreground with one connection: accepter "telnet(rfc2217),tcp,..." or "tcp,...".
class Ser2Net {
public:
    Ser2Net(const std::string& device, bool comPortOption);
    ~Ser2Net();
    bool Ok() const { return FPid > 0 && FPort > 0; }
    std::string Url() const;
    // Runs again on the same port (a server restart).
    void Stop();
    bool Start();

private:
    std::string FDevice;
    bool FComPort;
    std::string FDir;
    int FPort = 0;
    pid_t FPid = -1;
};

} // namespace nettest
