// Serial line figures on a pseudo-terminal: terminated-read rate for status lines, write throughput, CPU
// used by an idle wait, and how fast a hang-up ends a waiting read.
#include "BlockSerial.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

struct Pty {
    int master = -1, slave = -1;
    char name[256] = {};
    Pty() {
        openpty(&master, &slave, name, nullptr, nullptr);
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    ~Pty() {
        if (master >= 0)
            close(master);
        close(slave);
    }
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double ThreadCpuMs() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}
} // namespace

int main() {
    {
        Pty pty;
        TBlockSerial line;
        line.Connect(pty.name);
        const int lines = 100000;
        std::thread device([&] {
            const std::string text = "PVEX: 3.92V ON\r\n";
            std::string block;
            for (int i = 0; i < 64; ++i)
                block += text;
            for (int sent = 0; sent < lines; sent += 64) {
                std::size_t done = 0;
                while (done < block.size()) {
                    ssize_t n = write(pty.master, block.data() + done, block.size() - done);
                    if (n > 0)
                        done += std::size_t(n);
                }
            }
        });
        auto start = Clock::now();
        int got = 0;
        while (got < lines) {
            line.RecvTerminated(5000, "\r");
            if (line.LastError() != 0)
                break;
            ++got;
        }
        double s = Seconds(Clock::now() - start);
        device.join();
        std::printf("serial_recv_lines_rate %.0f lines/s\n", got / s);
    }
    {
        Pty pty;
        TBlockSerial line;
        line.Connect(pty.name);
        const std::string chunk(1 << 20, 'x');
        const int chunks = 16;
        std::thread device([&] {
            std::size_t total = 0;
            char buf[65536];
            while (total < chunk.size() * chunks) {
                ssize_t n = read(pty.master, buf, sizeof buf);
                if (n > 0)
                    total += std::size_t(n);
            }
        });
        auto start = Clock::now();
        for (int i = 0; i < chunks; ++i)
            line.SendString(chunk);
        device.join();
        double s = Seconds(Clock::now() - start);
        std::printf("serial_send_throughput %.1f MiB/s\n", chunks / s);
    }
    {
        Pty pty;
        TBlockSerial line;
        line.Connect(pty.name);
        double cpu = ThreadCpuMs();
        line.RecvTerminated(2000, "\r");
        std::printf("serial_idle_wait_cpu %.2f ms/2s\n", ThreadCpuMs() - cpu);

        std::thread unplug([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            close(pty.master);
            pty.master = -1;
        });
        auto start = Clock::now();
        line.RecvTerminated(10000, "\r");
        double ms = Seconds(Clock::now() - start) * 1e3 - 200.0;
        unplug.join();
        std::printf("serial_hangup_detect %.1f ms\n", ms < 0 ? 0 : ms);
    }
    return 0;
}
