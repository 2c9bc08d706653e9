#include "Ser2Net.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nettest {

namespace {
int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

bool Connectable(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(std::uint16_t(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}
} // namespace

Ser2Net::Ser2Net(const std::string& device, bool comPortOption) : FDevice(device), FComPort(comPortOption) {
    char dir[] = "/tmp/pravex-ser2net-XXXXXX";
    if (::mkdtemp(dir))
        FDir = dir;
    FPort = FreePort();
    Start();
}

Ser2Net::~Ser2Net() {
    Stop();
    if (!FDir.empty()) {
        ::unlink((FDir + "/ser2net.yaml").c_str());
        ::unlink((FDir + "/pid").c_str());
        ::rmdir(FDir.c_str());
    }
}

std::string Ser2Net::Url() const {
    return std::string(FComPort ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(FPort);
}

bool Ser2Net::Start() {
    const std::string config = FDir + "/ser2net.yaml";
    {
        std::ofstream f(config);
        f << "connection: &pravex\n"
          << "  accepter: " << (FComPort ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << FPort << "\n"
          << "  connector: serialdev," << FDevice << ",9600n81,local\n"
          << "  options:\n"
          << "    kickolduser: true\n";
    }
    const char* bin = std::getenv("PRAVEX_SER2NET");
    const std::string program = bin && *bin ? bin : "/usr/sbin/ser2net";
    // -u: no UUCP lock files, which need a writable /var/lock.
    std::string a0 = program, a1 = "-n", a2 = "-u", a3 = "-c", a4 = config, a5 = "-P", a6 = FDir + "/pid";
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data(), a6.data(), nullptr};
    if (::posix_spawn(&FPid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        FPid = -1;
        return false;
    }
    // Up when it accepts; each probe is a client it opens the device for and closes again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Connectable(FPort)) {
        int status = 0;
        if (std::chrono::steady_clock::now() > deadline || ::waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            return false;
        }
        ::usleep(20000);
    }
    return true;
}

void Ser2Net::Stop() {
    if (FPid <= 0)
        return;
    ::kill(FPid, SIGTERM);
    int status = 0;
    ::waitpid(FPid, &status, 0);
    FPid = -1;
}

} // namespace nettest
