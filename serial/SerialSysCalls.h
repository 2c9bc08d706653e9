// The system calls the serial line makes, gathered behind one overridable table. The line's logic stays
// testable: a test overrides single calls to produce what a pseudo-terminal cannot (modem lines, error
// counters, writes that never finish, EINTR, EAGAIN, short writes).
#pragma once

#include <cstddef>
#include <poll.h>
#include <sys/types.h>
#include <termios.h>

class TSerialSysCalls {
public:
    virtual ~TSerialSysCalls() = default;

    virtual int open(const char* path, int flags);
    virtual int close(int fd);
    virtual int flock(int fd, int operation);
    // Every ioctl the line uses takes a pointer argument (or none, passed as nullptr).
    virtual int ioctl(int fd, unsigned long request, void* arg);
    virtual ssize_t read(int fd, void* buf, std::size_t count);
    virtual ssize_t write(int fd, const void* buf, std::size_t count);
    virtual int poll(pollfd* fds, nfds_t nfds, int timeoutMs);
    virtual int tcgetattr(int fd, termios* t);
    virtual int tcsetattr(int fd, int actions, const termios* t);
    virtual int tcflush(int fd, int queue);

    // The plain system, shared by every line that is not given its own table.
    static TSerialSysCalls* System();
};
