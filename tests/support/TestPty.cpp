// Pty pair for tests; every wait is bounded by poll().
#include "TestPty.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
int LeftMs(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : int(left.count());
}
} // namespace

TestPty::TestPty() {
    char name[256] = {};
    if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) {
        FMaster = FSlave = -1;
        return;
    }
    termios t{};
    tcgetattr(FSlave, &t);
    cfmakeraw(&t);
    tcsetattr(FSlave, TCSANOW, &t);
    fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    fcntl(FSlave, F_SETFD, FD_CLOEXEC);
    FSlavePath = name;
}

TestPty::~TestPty() {
    CloseMaster();
    if (FSlave >= 0)
        ::close(FSlave);
}

bool TestPty::Send(const std::string& bytes, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size() && FMaster >= 0) {
        ssize_t n = ::write(FMaster, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        int left = LeftMs(deadline);
        if (left == 0)
            return false;
        pollfd p{FMaster, POLLOUT, 0};
        ::poll(&p, 1, std::min(left, 50));
    }
    return done == bytes.size();
}

std::string TestPty::Receive(std::size_t want, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    char buf[4096];
    while (got.size() < want && FMaster >= 0) {
        ssize_t n = ::read(FMaster, buf, std::min(sizeof buf, want - got.size()));
        if (n > 0) {
            got.append(buf, std::size_t(n));
            continue;
        }
        int left = LeftMs(deadline);
        if (left == 0)
            break;
        pollfd p{FMaster, POLLIN, 0};
        ::poll(&p, 1, std::min(left, 50));
    }
    return got;
}

void TestPty::CloseMaster() {
    if (FMaster >= 0)
        ::close(FMaster);
    FMaster = -1;
}
