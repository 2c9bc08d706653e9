// Preloaded into pravex-log by its fault tests: makes the storage of one file misbehave on demand. The
// file is PRAVEX_FAULT_FILE; what goes wrong is the first line of the file PRAVEX_FAULT_CONTROL, read at
// every call so a test can change it while the program runs:
//   sync ERRNO     fdatasync of the file fails with that errno number
//   size BYTES     a disk that holds the file up to BYTES: writes beyond stop short, then fail ENOSPC
//   dirsync ERRNO  fsync of the file's folder fails
//   (empty)        everything works
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Fault {
    std::string kind;
    long long value = 0;
};

Fault readFault() {
    Fault f;
    const char* control = std::getenv("PRAVEX_FAULT_CONTROL");
    if (!control)
        return f;
    const int fd = ::open(control, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return f;
    char buf[128] = {};
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return f;
    char kind[32] = {};
    if (std::sscanf(buf, "%31s %lld", kind, &f.value) == 2)
        f.kind = kind;
    return f;
}

bool sameFile(int fd, const std::string& path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

std::string target() {
    const char* t = std::getenv("PRAVEX_FAULT_FILE");
    return t ? t : "";
}

template <typename F> F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// A write from `at` on stops at the size fault's limit: count clipped to the room left, false when none is.
bool clipToLimit(const Fault& f, long long at, size_t& count) {
    const long long room = f.value - at;
    if (room <= 0)
        return false;
    if (static_cast<long long>(count) > room)
        count = static_cast<size_t>(room);
    return true;
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t count) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    const int saved = errno;
    const Fault f = readFault();
    if (f.kind == "size" && sameFile(fd, target())) {
        struct stat st {};
        ::fstat(fd, &st);
        if (!clipToLimit(f, st.st_size, count)) {
            errno = ENOSPC;
            return -1;
        }
    }
    errno = saved;
    return real(fd, buf, count);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    const int saved = errno;
    const Fault f = readFault();
    if (f.kind == "size" && sameFile(fd, target())) {
        if (!clipToLimit(f, offset, count)) {
            errno = ENOSPC;
            return -1;
        }
    }
    errno = saved;
    return real(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
    return pwrite(fd, buf, count, offset);
}

int fdatasync(int fd) {
    static const auto real = next<int (*)(int)>("fdatasync");
    const Fault f = readFault();
    if (f.kind == "sync" && sameFile(fd, target())) {
        errno = static_cast<int>(f.value);
        return -1;
    }
    return real(fd);
}

int fsync(int fd) {
    static const auto real = next<int (*)(int)>("fsync");
    const Fault f = readFault();
    if (f.kind == "dirsync") {
        std::string folder = target();
        folder = folder.substr(0, folder.rfind('/'));
        if (sameFile(fd, folder.empty() ? "/" : folder)) {
            errno = static_cast<int>(f.value);
            return -1;
        }
    }
    return real(fd);
}
}
