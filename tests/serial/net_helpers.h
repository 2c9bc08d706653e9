// Peers for the network port tests: a small scripted TCP server on 127.0.0.1, each test writing how it
// misbehaves, and a COM-PORT-OPTION server's side for it. Debian's ser2net is in the test support.
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
    // Set from the test: the server closes the connection.
    std::atomic<bool> hangUp{false};
    // Runs once at the client's purge number onPurgeAt (1: the one of its open), on the server's thread;
    // false ends the connection.
    std::function<bool(ScriptServer& server, int conn)> onPurge;
    int onPurgeAt = 1;
    // Offers the option, then serves the connection until the client leaves or the test ends.
    void Serve(ScriptServer& server, int conn, const std::string& afterNegotiation = {});
};

} // namespace nettest
