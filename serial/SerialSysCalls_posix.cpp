// The real system behind TSerialSysCalls: each call goes straight to libc.
#include "SerialSysCalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

int TSerialSysCalls::open(const char* path, int flags) {
    return ::open(path, flags);
}
int TSerialSysCalls::close(int fd) {
    return ::close(fd);
}
int TSerialSysCalls::flock(int fd, int operation) {
    return ::flock(fd, operation);
}
int TSerialSysCalls::ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}
ssize_t TSerialSysCalls::read(int fd, void* buf, std::size_t count) {
    return ::read(fd, buf, count);
}
ssize_t TSerialSysCalls::write(int fd, const void* buf, std::size_t count) {
    return ::write(fd, buf, count);
}
int TSerialSysCalls::poll(pollfd* fds, nfds_t nfds, int timeoutMs) {
    return ::poll(fds, nfds, timeoutMs);
}
int TSerialSysCalls::tcgetattr(int fd, termios* t) {
    return ::tcgetattr(fd, t);
}
int TSerialSysCalls::tcsetattr(int fd, int actions, const termios* t) {
    return ::tcsetattr(fd, actions, t);
}
int TSerialSysCalls::tcflush(int fd, int queue) {
    return ::tcflush(fd, queue);
}

TSerialSysCalls* TSerialSysCalls::System() {
    static TSerialSysCalls sys;
    return &sys;
}
