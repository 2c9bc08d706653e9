// Pty pair, battery curve and script decoding of the device simulator.
#include "DevSimCore.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace devsim {

PtyPair::~PtyPair() {
    CloseMaster();
    CloseSlave();
}

bool PtyPair::Open(std::string* errorText) {
    char name[256] = {};
    int master = -1, slave = -1;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        if (errorText)
            *errorText = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    FMaster = master;
    FSlave = slave;
    FSlaveName = name;
    return true;
}

void PtyPair::CloseMaster() {
    if (FMaster >= 0)
        ::close(FMaster);
    FMaster = -1;
}

void PtyPair::CloseSlave() {
    if (FSlave >= 0)
        ::close(FSlave);
    FSlave = -1;
}

int PtyPair::Unread() const {
    int n = 0;
    if (FSlave < 0 || ioctl(FSlave, FIONREAD, &n) != 0)
        return 0;
    return n;
}

void PtyPair::WaitDrained(int timeoutMs) const {
    // The master's bytes reach the slave's queue through the kernel's flip buffer a moment later: only a
    // queue seen empty twice in a row is drained.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int emptySeen = 0;
    while (std::chrono::steady_clock::now() < deadline && emptySeen < 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        emptySeen = Unread() == 0 ? emptySeen + 1 : 0;
    }
}

double BatteryCurve::Voltage() const {
    // A lithium cell: steep near full and near empty, flat in between; 4.15 V full, 3.15 V empty.
    const double s = FSoc;
    return 3.30 + 0.55 * s + 0.30 * std::pow(s, 8) - 0.15 * std::pow(1.0 - s, 6);
}

void BatteryCurve::Step() {
    if (FCharging) {
        FSoc += 0.02;
        if (FSoc >= 1.0) {
            FSoc = 1.0;
            FCharging = false;
        }
    } else {
        FSoc -= 0.01;
        if (FSoc <= 0.05) {
            FSoc = 0.05;
            FCharging = true;
        }
    }
}

std::string FormatStatusLine(bool low, double voltage, bool on, bool comma) {
    char number[32];
    std::snprintf(number, sizeof number, "%.2f", voltage);
    std::string text = number;
    if (comma)
        for (char& c : text)
            if (c == '.')
                c = ',';
    return std::string(low ? "LBAT" : "PVEX") + ": " + text + "V " + (on ? "ON" : "OFF");
}

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ReadHexByte(const std::string& s, std::size_t& i, char& out) {
    if (i + 2 > s.size())
        return false;
    int hi = HexValue(s[i]), lo = HexValue(s[i + 1]);
    if (hi < 0 || lo < 0)
        return false;
    out = char(hi * 16 + lo);
    i += 2;
    return true;
}
} // namespace

bool DecodeScriptLine(const std::string& text, std::string& bytes, bool& terminated, std::string* errorText) {
    bytes.clear();
    terminated = true;
    auto fail = [&](const std::string& why) {
        if (errorText)
            *errorText = why;
        return false;
    };
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i++];
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (i >= text.size())
            return fail("lone backslash at the end");
        char e = text[i++];
        switch (e) {
        case '\\':
            bytes += '\\';
            break;
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case '0':
            bytes += '\0';
            break;
        case 'x': {
            char b;
            if (!ReadHexByte(text, i, b))
                return fail("\\x needs two hex digits");
            bytes += b;
            break;
        }
        case '*': {
            std::size_t count = 0, digits = 0;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 8) {
                count = count * 10 + std::size_t(text[i++] - '0');
                ++digits;
            }
            char b;
            if (digits == 0 || i >= text.size() || text[i] != ',')
                return fail("\\*N,HH needs a count and a comma");
            ++i;
            if (!ReadHexByte(text, i, b))
                return fail("\\*N,HH needs two hex digits");
            bytes.append(count, b);
            break;
        }
        case 'c':
            if (i != text.size())
                return fail("\\c must end the line");
            terminated = false;
            break;
        default:
            return fail(std::string("unknown escape \\") + e);
        }
    }
    return true;
}

bool LoadScript(const std::string& path, std::vector<ScriptLine>& lines, std::string* errorText) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errorText)
            *errorText = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (!text.empty() && text.back() == '\r')
            text.pop_back(); // a script edited on Windows still means the same lines
        ScriptLine line;
        std::string why;
        if (!DecodeScriptLine(text, line.bytes, line.terminated, &why)) {
            if (errorText)
                *errorText = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        lines.push_back(std::move(line));
    }
    return true;
}

} // namespace devsim
