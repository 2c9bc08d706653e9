#include "net_helpers.h"

#include "TelnetCodec.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace nettest {

ScriptServer::ScriptServer(Script script) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FListen, 4);
    socklen_t len = sizeof a;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this, script = std::move(script)] {
        for (;;) {
            pollfd p{FListen, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0)
                break;
            if (FStopping.load())
                return;
        }
        const int conn = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            return;
        script(*this, conn);
        ::close(conn);
    });
}

ScriptServer::~ScriptServer() {
    FStopping.store(true);
    FThread.join();
    ::close(FListen);
}

std::string ScriptServer::Url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(FPort);
}

bool ScriptServer::SendAll(int conn, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(conn, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

ssize_t ScriptServer::ReadSome(int conn, int timeoutMs) {
    pollfd p{conn, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return -1;
    char buf[4096];
    const ssize_t n = ::recv(conn, buf, sizeof buf, 0);
    if (n > 0) {
        std::lock_guard lock(FLock);
        FReceived.append(buf, std::size_t(n));
    }
    return n == 0 ? 0 : n;
}

bool ScriptServer::ReadUntil(int conn, const std::string& what, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (Received().find(what) != std::string::npos)
            return true;
        if (FStopping.load() || std::chrono::steady_clock::now() > deadline)
            return false;
        if (ReadSome(conn, 50) == 0)
            return Received().find(what) != std::string::npos;
    }
}

void ScriptServer::Drain(int conn) {
    while (!FStopping.load() && ReadSome(conn, 50) != 0) {
    }
}

std::string ScriptServer::Received() {
    std::lock_guard lock(FLock);
    return FReceived;
}

void ComPortPeer::Serve(ScriptServer& server, int conn, const std::string& afterNegotiation) {
    using namespace telnet;
    struct Handler : TTelnetCodec::Events {
        ComPortPeer& peer;
        ScriptServer& server;
        int conn;
        Handler(ComPortPeer& p, ScriptServer& s, int c) : peer(p), server(s), conn(c) {}
        void Option(unsigned char, unsigned char) override {}
        void SubNegotiation(unsigned char option, std::string_view payload) override {
            if (option != OptComPort || payload.empty())
                return;
            const auto command = static_cast<unsigned char>(payload[0]);
            unsigned value = payload.size() > 1 ? static_cast<unsigned char>(payload[1]) : 0;
            if (command == 1 && payload.size() >= 5)
                value = unsigned(static_cast<unsigned char>(payload[1])) << 24 |
                        unsigned(static_cast<unsigned char>(payload[2])) << 16 |
                        unsigned(static_cast<unsigned char>(payload[3])) << 8 |
                        static_cast<unsigned char>(payload[4]);
            {
                std::lock_guard lock(peer.lock);
                if (command == 5)
                    peer.controls.push_back(char(value));
                if (command == 11)
                    peer.modemMaskSeen = true;
            }
            if (command == 12)
                ++purges;
            const unsigned answer = peer.applied ? peer.applied(command, value) : value;
            std::string reply(1, char(command + 100));
            if (command == 1) {
                std::lock_guard lock(peer.lock);
                peer.baud = answer;
                reply += {char(answer >> 24), char(answer >> 16), char(answer >> 8), char(answer)};
            } else {
                reply.push_back(char(answer));
            }
            server.SendAll(conn, TTelnetCodec::SubNegotiation(OptComPort, reply));
        }
        int purges = 0;
    } handler(*this, server, conn);
    server.SendAll(conn, TTelnetCodec::Command(DO, OptComPort) + afterNegotiation);
    TTelnetCodec codec;
    char buf[4096];
    while (!server.Stopping() && !hangUp.load()) {
        pollfd p{conn, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(conn, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        std::string out;
        codec.Decode(buf, std::size_t(n), out, handler);
        {
            std::lock_guard lock(this->lock);
            data += out;
        }
        if (handler.purges >= onPurgeAt && onPurge) {
            const auto once = std::exchange(onPurge, nullptr);
            if (!once(server, conn))
                return;
        }
    }
}

} // namespace nettest
