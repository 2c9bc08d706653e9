// Peers for the network port tests: a small scripted TCP server on 127.0.0.1 (each test writes how it
// misbehaves) and Debian's ser2net serving a pty.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace nettest {

// One listening socket; the script runs on its own thread for the first connection.
class ScriptServer {
public:
    using Script = std::function<void(ScriptServer& server, int conn)>;
    explicit ScriptServer(Script script);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    int Port() const { return FPort; }
    std::string Url(const std::string& scheme) const;
    bool Stopping() const { return FStopping.load(); }

    // For scripts: whole sends, and reads that also end when the test ends.
    bool SendAll(int conn, const std::string& bytes);
    // Reads until the bytes received so far contain `what` or timeoutMs passed.
    bool ReadUntil(int conn, const std::string& what, int timeoutMs = 20000);
    // Reads whatever comes until the test ends or the client closes.
    void Drain(int conn);
    std::string Received();

private:
    ssize_t ReadSome(int conn, int timeoutMs);

    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    std::mutex FLock;
    std::string FReceived;
    std::thread FThread;
};

// A COM-PORT-OPTION server's side, as a script uses it: answers each setting with what `applied` says
// (the asked value by default), records control commands, and gives the data bytes it received.
struct ComPortPeer {
    std::function<unsigned(unsigned char command, unsigned value)> applied;
    std::mutex lock;
    std::string data;     // data bytes received, IAC IAC made single
    std::string controls; // SET-CONTROL values in order
    unsigned baud = 0;
    bool modemMaskSeen = false;
    // Runs at the client's first purge (its open), on the server's thread; false ends the connection.
    std::function<bool(ScriptServer& server, int conn)> onPurge;
    // Offers the option, then serves the connection until the client leaves or the test ends.
    void Serve(ScriptServer& server, int conn, const std::string& afterNegotiation = {});
};

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
