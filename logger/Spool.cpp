// On disk: a 32-byte header line "PVXSPOOL <20-digit mark>" rewritten in place, then one record per line.
// The mark only ever lags the truth, so a crash at any point costs duplicates, never readings.
#include "Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString sysText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

QByteArray header(qint64 mark) {
    const QByteArray h = "PVXSPOOL " + QByteArray::number(mark).rightJustified(20, '0');
    return h.leftJustified(Spool::HeaderSize - 1, ' ') + '\n';
}

bool preadAll(int fd, char* buf, qint64 n, qint64 at) {
    while (n > 0) {
        const ssize_t got = ::pread(fd, buf, size_t(n), at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buf += got;
        n -= got;
        at += got;
    }
    return true;
}

bool writeAll(int fd, const char* data, qint64 n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, data, size_t(n));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        n -= put;
    }
    return true;
}

} // namespace

Spool::~Spool() {
    close();
}

bool Spool::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_fd >= 0;
}

void Spool::close() {
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) {
        if (m_dirty)
            ::fdatasync(m_fd);
        ::close(m_fd);
    }
    if (m_lockFd >= 0)
        ::close(m_lockFd); // releases the lock
    m_fd = m_lockFd = -1;
}

bool Spool::open(const QString& path, qint64 maxRecords, QString* error) {
    close();
    std::lock_guard lock(m_mutex);
    m_path = path;
    m_max = maxRecords;
    m_base = m_pending = m_dropped = 0;
    m_dirty = false;
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create the spool folder ") + dir;
        return false;
    }
    // The lock sits on a file of its own: compaction replaces the spool file.
    const QByteArray lockName = QFile::encodeName(path + QStringLiteral(".lock"));
    m_lockFd = ::open(lockName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0) {
        *error = QStringLiteral("cannot open ") + path + QStringLiteral(".lock: ") + sysText(errno);
        return false;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        *error = path + QStringLiteral(" is in use by another pravex-log");
        ::close(m_lockFd);
        m_lockFd = -1;
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        *error = QStringLiteral("cannot open the spool ") + path + QStringLiteral(": ") + sysText(errno);
        if (m_fd >= 0)
            ::close(m_fd);
        ::close(m_lockFd);
        m_fd = m_lockFd = -1;
        return false;
    }
    m_size = st.st_size;
    QByteArray head(HeaderSize, '\0');
    bool ok = false;
    if (m_size >= HeaderSize && preadAll(m_fd, head.data(), HeaderSize, 0) && head.startsWith("PVXSPOOL "))
        m_mark = head.mid(9, 20).toLongLong(&ok);
    if (!ok) {
        if (m_size > 0) {
            *error = path + QStringLiteral(" is not a spool file; move it away");
            ::close(m_fd);
            ::close(m_lockFd);
            m_fd = m_lockFd = -1;
            return false;
        }
        m_mark = m_size = HeaderSize;
        writeHeader(m_mark);
    }
    m_mark = std::clamp<qint64>(m_mark, HeaderSize, m_size);
    // Count what waits, and drop a record that a crash cut short (its reading is in the CSV).
    qint64 lastEnd = m_mark;
    QByteArray buf(1 << 20, '\0');
    for (qint64 at = m_mark; at < m_size;) {
        const qint64 n = std::min<qint64>(buf.size(), m_size - at);
        if (!preadAll(m_fd, buf.data(), n, at))
            break;
        for (const char* p = buf.constData();
             (p = static_cast<const char*>(std::memchr(p, '\n', size_t(buf.constData() + n - p)))); ++p) {
            ++m_pending;
            lastEnd = at + (p - buf.constData()) + 1;
        }
        at += n;
    }
    if (lastEnd < m_size) {
        if (::ftruncate(m_fd, lastEnd) == 0)
            m_size = lastEnd;
    }
    return true;
}

bool Spool::writeHeader(qint64 physicalMark) {
    const QByteArray h = header(physicalMark);
    return ::pwrite(m_fd, h.constData(), size_t(h.size()), 0) == h.size();
}

bool Spool::append(const QByteArray& payload, QString* error) {
    std::lock_guard lock(m_mutex);
    if (m_fd < 0) {
        *error = QStringLiteral("the spool is not open");
        return false;
    }
    if (m_pending >= m_max) {
        ++m_dropped;
        return false;
    }
    const QByteArray line = payload + '\n';
    if (::lseek(m_fd, m_size, SEEK_SET) < 0 || !writeAll(m_fd, line.constData(), line.size())) {
        *error = QStringLiteral("cannot write the spool ") + m_path + QStringLiteral(": ") + sysText(errno);
        // Take back a part written: the next record must start on a line of its own.
        if (::ftruncate(m_fd, m_size) != 0) {
        }
        ++m_dropped;
        return false;
    }
    m_size += line.size();
    ++m_pending;
    m_dirty = true;
    return true;
}

QList<Spool::Record> Spool::read(qint64 from, int max) const {
    std::lock_guard lock(m_mutex);
    QList<Record> out;
    qint64 at = std::max(from - m_base, m_mark);
    QByteArray buf;
    while (int(out.size()) < max && at < m_size) {
        const qint64 n = std::min<qint64>(m_size - at, std::max<qint64>(64 << 10, buf.size() * 2));
        buf.resize(n);
        if (!preadAll(m_fd, buf.data(), n, at))
            break;
        qsizetype start = 0;
        for (qsizetype nl; int(out.size()) < max && (nl = buf.indexOf('\n', start)) >= 0; start = nl + 1)
            out.append(Record{buf.mid(start, nl - start), m_base + at + nl + 1});
        if (start == 0 && n == m_size - at)
            break; // no complete line left (cannot happen: appends are whole lines)
        at += start;
    }
    return out;
}

void Spool::acknowledge(qint64 end, qint64 records) {
    std::lock_guard lock(m_mutex);
    const qint64 physical = end - m_base;
    if (m_fd < 0 || physical <= m_mark || physical > m_size)
        return;
    m_pending = std::max<qint64>(0, m_pending - records);
    m_mark = physical;
    if (m_mark == m_size) {
        // All delivered: start the file again (header first: a crash between the two costs duplicates).
        if (writeHeader(HeaderSize) && ::ftruncate(m_fd, HeaderSize) == 0) {
            m_base += m_size - HeaderSize;
            m_size = m_mark = HeaderSize;
            m_pending = 0;
        } else {
            writeHeader(m_mark);
        }
        return;
    }
    writeHeader(m_mark);
    if (m_mark >= CompactBytes && m_mark * 2 >= m_size)
        compact();
}

void Spool::compact() {
    // The undelivered tail to a new file, renamed over the old one.
    const QString tmpPath = m_path + QStringLiteral(".new");
    const QByteArray tmpName = QFile::encodeName(tmpPath);
    const int fd = ::open(tmpName.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    bool ok = writeAll(fd, header(HeaderSize).constData(), HeaderSize);
    QByteArray buf(1 << 20, '\0');
    for (qint64 at = m_mark; ok && at < m_size;) {
        const qint64 n = std::min<qint64>(buf.size(), m_size - at);
        ok = preadAll(m_fd, buf.data(), n, at) && writeAll(fd, buf.constData(), n);
        at += n;
    }
    ok = ok && ::fdatasync(fd) == 0 &&
         ::rename(tmpName.constData(), QFile::encodeName(m_path).constData()) == 0;
    if (!ok) {
        ::close(fd);
        ::unlink(tmpName.constData());
        return;
    }
    ::close(m_fd);
    m_fd = fd;
    m_base += m_mark - HeaderSize;
    m_size -= m_mark - HeaderSize;
    m_mark = HeaderSize;
}

void Spool::sync() {
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0 && m_dirty) {
        ::fdatasync(m_fd);
        m_dirty = false;
    }
}

qint64 Spool::begin() const {
    std::lock_guard lock(m_mutex);
    return m_base + m_mark;
}

qint64 Spool::end() const {
    std::lock_guard lock(m_mutex);
    return m_base + m_size;
}

qint64 Spool::pending() const {
    std::lock_guard lock(m_mutex);
    return m_pending;
}

qint64 Spool::dropped() const {
    std::lock_guard lock(m_mutex);
    return m_dropped;
}
