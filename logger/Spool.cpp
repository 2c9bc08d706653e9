// On disk: a 32-byte header line "PVXSPOOL <20-digit mark>" rewritten in place, the owner's line, then one
// record per line. The mark only ever lags the truth, so a crash at any point costs duplicates, never
// readings. Older files have no owner line; their readers skip it all the same, as it lies before the mark.
#include "Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 MaxOwnerLine = 1024;
// Compaction copies without the lock until so little is left that copying it with the lock is quick.
constexpr qint64 LockedCopyBytes = 64 << 10;
// The mark on disk may lag the delivered records by this much (and until the next sync): a crash then
// costs that many duplicates, while a header write per acknowledgement would halve the throughput.
constexpr qint64 MarkLagBytes = 64 << 10;

QString sysText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

QByteArray header(qint64 mark) {
    const QByteArray h = "PVXSPOOL " + QByteArray::number(mark).rightJustified(20, '0');
    return h.leftJustified(Spool::HeaderSize - 1, ' ') + '\n';
}

QByteArray ownerLine(const QString& serial) {
    return serial.isEmpty() ? QByteArray() : "serial " + serial.toUtf8().toPercentEncoding() + '\n';
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

// Without an offset, at the file's own, which moves on; with one, there, leaving the file's own alone.
bool writeAll(int fd, const char* data, qint64 n, std::optional<qint64> at = std::nullopt) {
    while (n > 0) {
        const ssize_t put = at ? ::pwrite(fd, data, size_t(n), *at) : ::write(fd, data, size_t(n));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        data += put;
        n -= put;
        if (at)
            *at += put;
    }
    return true;
}

bool writeAt(int fd, const QByteArray& data, qint64 at) {
    return writeAll(fd, data.constData(), data.size(), at);
}

bool copyRange(int from, int to, qint64 begin, qint64 end) {
    QByteArray buf(1 << 20, '\0');
    for (qint64 at = begin; at < end;) {
        const qint64 n = std::min<qint64>(buf.size(), end - at);
        if (!preadAll(from, buf.data(), n, at) || !writeAll(to, buf.constData(), n))
            return false;
        at += n;
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
        if (m_mark != m_markWritten && !m_headerMissing)
            writeHeader(m_mark);
        if (m_dirty)
            ::fdatasync(m_fd);
        ::close(m_fd);
    }
    if (m_lockFd >= 0)
        ::close(m_lockFd); // releases the lock
    m_fd = m_lockFd = -1;
}

bool Spool::open(const QString& path, qint64 maxRecords, QString* error, const QString& serial) {
    close();
    std::lock_guard lock(m_mutex);
    m_path = path;
    m_max = maxRecords;
    m_base = m_pending = m_dropped = m_failed = 0;
    m_dirty = m_headerMissing = false;
    m_wantedOwner = ownerLine(serial);
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
    const auto refuse = [&](const QString& why) {
        *error = why;
        if (m_fd >= 0)
            ::close(m_fd);
        ::close(m_lockFd);
        m_fd = m_lockFd = -1;
        return false;
    };
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return refuse(QStringLiteral("cannot open the spool ") + path + QStringLiteral(": ") +
                      sysText(errno));
    m_size = st.st_size;
    QByteArray head(int(std::min<qint64>(m_size, HeaderSize)), '\0');
    if (!preadAll(m_fd, head.data(), head.size(), 0))
        return refuse(QStringLiteral("cannot read the spool ") + path + QStringLiteral(": ") +
                      sysText(errno));
    bool ok = false;
    // A header that a full disk kept from being written: the records after it are whole.
    const bool lostHeader = head.size() == HeaderSize && head.count('\0') == HeaderSize;
    if (head.size() == HeaderSize && head.startsWith("PVXSPOOL "))
        m_mark = head.mid(9, 20).toLongLong(&ok);
    if (!ok && !lostHeader) {
        // Only a file cut short while it was made (a start of a header, or nothing) is made anew.
        if (m_size >= HeaderSize || !(header(0).startsWith(head) || head.count('\0') == head.size()))
            return refuse(path + QStringLiteral(" is not a spool file; move it away"));
        m_owner = m_wantedOwner;
        m_start = m_mark = m_size = HeaderSize + m_owner.size();
        QString ignored;
        // A disk too full for the header now is said at the first reading, and tried again then.
        m_headerMissing = ::ftruncate(m_fd, 0) != 0 || !createHeader(&ignored);
        return true;
    }
    m_owner.clear();
    m_start = HeaderSize;
    if (m_size > HeaderSize) {
        QByteArray line(int(std::min(MaxOwnerLine, m_size - HeaderSize)), '\0');
        if (preadAll(m_fd, line.data(), line.size(), HeaderSize) && line.startsWith("serial ")) {
            const qsizetype nl = line.indexOf('\n');
            if (nl < 0)
                return refuse(path + QStringLiteral(" is not a spool file; move it away"));
            m_owner = line.left(nl + 1);
            m_start = HeaderSize + m_owner.size();
        }
    }
    if (!m_owner.isEmpty() && m_owner != m_wantedOwner) {
        const QString whose = QString::fromUtf8(QByteArray::fromPercentEncoding(m_owner.mid(7).chopped(1)));
        return refuse(QStringLiteral("%1 holds the readings of the adapter %2, which are not published as "
                                     "another's; move it away")
                          .arg(path, whose));
    }
    if (lostHeader) {
        m_mark = m_start;
        writeHeader(m_mark);
    }
    m_mark = m_markWritten = std::clamp<qint64>(m_mark, m_start, std::max(m_start, m_size));
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

bool Spool::createHeader(QString* error) {
    if (writeAt(m_fd, header(m_start) + m_owner, 0)) {
        m_markWritten = m_start;
        m_headerMissing = false;
        return true;
    }
    *error = sysText(errno);
    // Nothing half-written: the next try, or the next session, starts from an empty file.
    if (::ftruncate(m_fd, 0) != 0) {
    }
    m_headerMissing = true;
    return false;
}

bool Spool::writeHeader(qint64 physicalMark) {
    const QByteArray h = header(physicalMark);
    const bool ok = ::pwrite(m_fd, h.constData(), size_t(h.size()), 0) == h.size();
    if (ok)
        m_markWritten = physicalMark;
    return ok;
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
    QString why;
    if (m_headerMissing && !createHeader(&why)) {
        *error = QStringLiteral("could not write the MQTT spool ") + m_path + QStringLiteral(": ") + why;
        ++m_failed;
        return false;
    }
    const QByteArray line = payload + '\n';
    if (!writeAt(m_fd, line, m_size)) {
        *error = QStringLiteral("could not write the MQTT spool ") + m_path + QStringLiteral(": ") +
                 sysText(errno);
        // Take back a part written: the next record must start on a line of its own.
        if (::ftruncate(m_fd, m_size) != 0) {
        }
        ++m_failed;
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
    std::unique_lock lock(m_mutex);
    const qint64 physical = end - m_base;
    if (m_fd < 0 || physical <= m_mark || physical > m_size)
        return;
    m_pending = std::max<qint64>(0, m_pending - records);
    m_mark = physical;
    if (m_mark == m_size) {
        // All delivered: start the file again, named by its owner from now on. Cut first: a crash in
        // between leaves a mark past the end, which means nothing waits.
        const qint64 start = HeaderSize + m_wantedOwner.size();
        m_base += m_size - start;
        m_owner = m_wantedOwner;
        m_start = m_size = m_mark = start;
        m_pending = 0;
        QString ignored;
        if (::ftruncate(m_fd, HeaderSize) != 0 || !createHeader(&ignored))
            m_headerMissing = true;
        return;
    }
    if (m_mark - m_markWritten >= MarkLagBytes)
        writeHeader(m_mark);
    if (m_mark - m_start >= CompactBytes && (m_mark - m_start) * 2 >= m_size - m_start)
        compact(lock);
}

void Spool::compact(std::unique_lock<std::mutex>& lock) {
    // The undelivered tail to a new file, renamed over the old one. Only this thread acknowledges and
    // compacts, so the mark and the file stay put while the lock is let go; appends only add to the end.
    const QString tmpPath = m_path + QStringLiteral(".new");
    const QByteArray tmpName = QFile::encodeName(tmpPath);
    const int fd = ::open(tmpName.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const QByteArray owner = m_wantedOwner;
    const qint64 start = HeaderSize + owner.size();
    const qint64 from = m_mark;
    const int oldFd = m_fd;
    qint64 copied = from;
    qint64 upto = m_size;
    lock.unlock();
    bool ok = writeAll(fd, (header(start) + owner).constData(), start);
    while (ok) {
        ok = copyRange(oldFd, fd, copied, upto);
        copied = upto;
        lock.lock();
        upto = m_size;
        lock.unlock();
        if (upto - copied < LockedCopyBytes)
            break;
    }
    ok = ok && ::fdatasync(fd) == 0;
    lock.lock();
    ok = ok && copyRange(oldFd, fd, copied, m_size) &&
         ::rename(tmpName.constData(), QFile::encodeName(m_path).constData()) == 0;
    if (!ok) {
        lock.unlock();
        ::close(fd);
        ::unlink(tmpName.constData());
        lock.lock();
        return;
    }
    m_fd = fd;
    m_base += from - start;
    m_size -= from - start;
    m_mark = m_markWritten = start;
    m_start = start;
    m_owner = owner;
    m_dirty = true; // what came during the copy
    lock.unlock();
    // Freeing a large file's blocks can take a while.
    ::close(oldFd);
    lock.lock();
}

bool Spool::sync(QString* error) {
    int fd = -1;
    {
        std::lock_guard lock(m_mutex);
        if (m_fd >= 0 && m_mark != m_markWritten && !m_headerMissing)
            writeHeader(m_mark);
        if (m_fd < 0 || !m_dirty)
            return true;
        // Synced without the lock: appends go on meanwhile.
        fd = ::dup(m_fd);
        m_dirty = false;
    }
    if (fd < 0)
        return true;
    const bool ok = ::fdatasync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok) {
        std::lock_guard lock(m_mutex);
        m_dirty = true;
        if (error)
            *error = QStringLiteral("could not sync the MQTT spool ") + m_path + QStringLiteral(": ") +
                     sysText(err);
    }
    return ok;
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

qint64 Spool::failed() const {
    std::lock_guard lock(m_mutex);
    return m_failed;
}
