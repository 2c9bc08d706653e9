// The session's CSV file on plain descriptors: O_APPEND writes of whole rows, fdatasync after each,
// ftruncate to take back a row that did not reach the medium, and flock to keep a second writer out.
#include "CsvLog.h"
#include "readout/CsvRows.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
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

const QByteArray Eol(CsvRows::LineEnd);

// The end of an appended file is read in pieces of this size, larger only for rows longer than that.
constexpr qint64 TailChunk = 4096;

bool readAt(int fd, qint64 offset, qint64 length, QByteArray* out) {
    out->resize(qsizetype(length));
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, out->data() + done, std::size_t(length - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break; // shorter than fstat said: what is there is what counts
        done += n;
    }
    out->resize(qsizetype(done));
    return true;
}

} // namespace

CsvLog::~CsvLog() {
    close();
}

bool CsvLog::lock(QString* error) {
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    const int err = errno;
    if (err == EWOULDBLOCK)
        *error = m_path + QStringLiteral(" is in use by another logger; one logger per file");
    else
        *error = QStringLiteral("cannot lock ") + m_path + QStringLiteral(": ") + sysText(err);
    return false;
}

bool CsvLog::prepare(const QString& path, Mode mode, const QString& header, QString* error) {
    close();
    m_path = path;
    m_mode = mode;
    m_header = header;
    m_created = m_begun = false;
    m_lastCounter = 0;
    m_keep = m_brokenTail = m_size = 0;
    const QByteArray name = QFile::encodeName(path);

    // The name may be removed or replaced between opening and locking (a writer that gave up removes
    // the file it created): what is locked must still be the file of that name.
    for (int attempt = 0; attempt < 5; ++attempt) {
        struct stat st {};
        const bool exists = ::stat(name.constData(), &st) == 0;
        if (exists && S_ISDIR(st.st_mode)) {
            *error = path + QStringLiteral(": is a directory");
            return false;
        }
        if (exists && mode == Mode::New) {
            *error = path + QStringLiteral(" exists; --append continues it, --force replaces it");
            return false;
        }
        bool created = false;
        if (!exists) {
            m_fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
            if (m_fd < 0 && errno == EEXIST)
                continue;
            if (m_fd < 0) {
                *error = QStringLiteral("cannot create ") + path + QStringLiteral(": ") + sysText(errno);
                return false;
            }
            created = true;
        } else {
            m_fd =
                ::open(name.constData(), (mode == Mode::Append ? O_RDWR : O_WRONLY) | O_APPEND | O_CLOEXEC);
            if (m_fd < 0 && errno == ENOENT)
                continue;
            if (m_fd < 0) {
                *error = QStringLiteral("cannot open ") + path + QStringLiteral(": ") + sysText(errno);
                return false;
            }
        }
        // Not ours to remove until it is locked: another logger may have taken it first.
        if (!lock(error)) {
            ::close(m_fd);
            m_fd = -1;
            return false;
        }
        struct stat now {
        }, mine{};
        if (::stat(name.constData(), &now) != 0 || ::fstat(m_fd, &mine) != 0 || now.st_dev != mine.st_dev ||
            now.st_ino != mine.st_ino) {
            ::close(m_fd);
            m_fd = -1;
            continue;
        }
        m_created = created;
        if (created || mode != Mode::Append)
            return true;
        if (!readTail(error)) {
            close();
            return false;
        }
        return true;
    }
    *error = path + QStringLiteral(" keeps changing while it is opened");
    return false;
}

bool CsvLog::readTail(QString* error) {
    const auto refuse = [&](const QString& why) {
        *error = m_path + QStringLiteral(" cannot be continued: ") + why;
        return false;
    };
    const auto readFailed = [&] {
        *error = QStringLiteral("cannot read ") + m_path + QStringLiteral(": ") + sysText(errno);
        return false;
    };
    const QString noHeader =
        QStringLiteral("it does not start with the header \"") + m_header + QLatin1Char('"');
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return readFailed();
    const qint64 size = st.st_size;
    // The header asked for first: a file cut short in its header is started afresh with it.
    QList<QString> known{m_header};
    for (const QString& other : {CsvRows::timedHeader(), CsvRows::header()})
        if (!known.contains(other))
            known.append(other);
    qsizetype longest = 0;
    for (const QString& h : known)
        longest = std::max(longest, h.size() + 2);
    QByteArray start;
    if (!readAt(m_fd, 0, std::min<qint64>(size, longest), &start))
        return readFailed();
    QByteArray head;
    for (const QString& h : known) {
        if (start.startsWith(h.toLatin1() + Eol)) {
            head = h.toLatin1();
            m_header = h;
            break;
        }
    }
    if (head.isEmpty()) {
        // Empty, or a header cut short by a crash before its first row: started afresh.
        if (start.size() == size && std::any_of(known.begin(), known.end(), [&](const QString& h) {
                return (h.toLatin1() + Eol).startsWith(start);
            })) {
            m_brokenTail = start.size();
            return true;
        }
        return refuse(noHeader);
    }

    // The last complete row is what counts: read backwards from the end until it is whole in view.
    QByteArray window;
    qint64 from = 0;
    qsizetype lastEol = -1, prevEol = -1;
    for (qint64 chunk = TailChunk;; chunk *= 2) {
        from = std::max<qint64>(0, size - chunk);
        if (!readAt(m_fd, from, size - from, &window))
            return readFailed();
        lastEol = window.lastIndexOf(Eol);
        prevEol = lastEol > 0 ? window.lastIndexOf(Eol, lastEol - 1) : -1;
        if (from == 0 || prevEol >= 0)
            break;
    }
    if (lastEol < 0) // the file shrank under the lock: only another writer ignoring it can do that
        return refuse(noHeader);
    m_keep = from + lastEol + 2;
    m_brokenTail = size - m_keep;
    const qsizetype rowStart = prevEol < 0 ? 0 : prevEol + 2;
    const QByteArray last = window.mid(rowStart, lastEol - rowStart);
    if (last == head)
        return true;
    qint64 counter = 0;
    const CsvRows::CounterRead read = CsvRows::readCounter(last, &counter);
    if (read == CsvRows::CounterRead::Missing)
        return refuse(QStringLiteral("its last row \"") + QString::fromLatin1(last) +
                      QStringLiteral("\" has no counter"));
    if (read == CsvRows::CounterRead::TooLarge || counter > MaxContinuedCounter)
        return refuse(QStringLiteral("its counter is too large to continue"));
    m_lastCounter = counter;
    return true;
}

bool CsvLog::begin(QString* error) {
    if (m_fd < 0 || m_begun)
        return m_begun;
    if (m_mode != Mode::Append || m_keep == 0) {
        m_size = 0;
        if (!m_created && ::ftruncate(m_fd, 0) != 0) {
            *error = QStringLiteral("cannot write ") + m_path + QStringLiteral(": ") + sysText(errno);
            return false;
        }
        if (!writeAll(m_header.toLatin1() + Eol, error))
            return false;
        // A new file's name is on the medium only once its folder is: a power cut must not lose it.
        if (m_created && !syncFolder(error))
            return false;
    } else {
        m_size = m_keep;
        if (m_brokenTail > 0 && ::ftruncate(m_fd, off_t(m_keep)) != 0) {
            *error = QStringLiteral("cannot write ") + m_path + QStringLiteral(": ") + sysText(errno);
            return false;
        }
    }
    m_begun = true;
    return true;
}

bool CsvLog::syncFolder(QString* error) {
    const QByteArray folder = QFile::encodeName(QFileInfo(m_path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (::fsync(fd) != 0)
            err = errno;
        ::close(fd);
    }
    // EINVAL: a file system whose folders need (and take) no sync.
    if (err == 0 || err == EINVAL)
        return true;
    *error = QStringLiteral("cannot sync the folder of ") + m_path + QStringLiteral(": ") + sysText(err);
    return false;
}

bool CsvLog::appendRow(const QString& row, QString* error) {
    if (m_fd < 0 || !m_begun) {
        *error = QStringLiteral("the CSV file is not open");
        return false;
    }
    return writeAll(CsvRows::fileLine(row), error);
}

bool CsvLog::writeAll(const QByteArray& bytes, QString* error) {
    // A row is there whole or not at all: the next one must not be glued to a fragment, nor follow a row
    // that may not be on the medium.
    const auto takeBack = [&](const char* what, int err) {
        [[maybe_unused]] const int cut = ::ftruncate(m_fd, off_t(m_size));
        *error = QLatin1String(what) + m_path + QStringLiteral(": ") + sysText(err);
        return false;
    };
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return takeBack("cannot write ", n < 0 ? errno : ENOSPC);
        done += n;
    }
    // Each row on the medium before the next line is taken: a power cut loses at most one row.
    if (::fdatasync(m_fd) != 0)
        return takeBack("cannot sync ", errno);
    m_size += bytes.size();
    return true;
}

void CsvLog::close() {
    if (m_fd < 0)
        return;
    // Removed while still locked: nobody can have taken it over in between.
    if (m_created && !m_begun)
        ::unlink(QFile::encodeName(m_path).constData());
    else
        ::fdatasync(m_fd);
    ::close(m_fd);
    m_fd = -1;
}
