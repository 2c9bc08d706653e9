// The session's CSV file on plain descriptors: O_APPEND writes of whole rows, fdatasync after each, and
// ftruncate to take back a write that failed half-way.
#include "CsvLog.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString sysText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

const QByteArray Eol("\r\n");

} // namespace

CsvLog::~CsvLog() {
    close();
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
    if (!exists) {
        m_fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            *error = QStringLiteral("cannot create ") + path + QStringLiteral(": ") + sysText(errno);
            return false;
        }
        m_created = true;
        return true;
    }
    m_fd = ::open(name.constData(), (mode == Mode::Append ? O_RDWR : O_WRONLY) | O_APPEND | O_CLOEXEC);
    if (m_fd < 0) {
        *error = QStringLiteral("cannot open ") + path + QStringLiteral(": ") + sysText(errno);
        return false;
    }
    if (mode != Mode::Append)
        return true;

    QByteArray content;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::pread(m_fd, buf, sizeof buf, off_t(content.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QStringLiteral("cannot read ") + path + QStringLiteral(": ") + sysText(errno);
            close();
            return false;
        }
        if (n == 0)
            break;
        content.append(buf, qsizetype(n));
    }
    const QByteArray head = header.toLatin1();
    const auto refuse = [&](const QString& why) {
        *error = path + QStringLiteral(" cannot be continued: ") + why;
        close();
        return false;
    };
    const qsizetype lastEol = content.lastIndexOf(Eol);
    if (lastEol < 0) {
        // Empty, or a header cut short by a crash before its first row: started afresh.
        if (!head.startsWith(content))
            return refuse(QStringLiteral("it does not start with the header \"") + header + QLatin1Char('"'));
        m_brokenTail = content.size();
        return true;
    }
    if (!content.startsWith(head + Eol))
        return refuse(QStringLiteral("it does not start with the header \"") + header + QLatin1Char('"'));
    m_keep = lastEol + 2;
    m_brokenTail = content.size() - m_keep;
    const qsizetype prevEol = content.lastIndexOf(Eol, lastEol - 1);
    const QByteArray last =
        content.mid(prevEol < 0 ? 0 : prevEol + 2, lastEol - (prevEol < 0 ? 0 : prevEol + 2));
    if (last == head)
        return true;
    const qsizetype semi = last.indexOf(';');
    bool ok = semi > 0;
    for (qsizetype i = 0; ok && i < semi; ++i)
        ok = last[i] >= '0' && last[i] <= '9';
    const qlonglong counter = ok && semi <= 12 ? last.left(semi).toLongLong(&ok) : -1;
    if (!ok || counter < 0)
        return refuse(QStringLiteral("its last row \"") + QString::fromLatin1(last) +
                      QStringLiteral("\" has no counter"));
    if (counter > MaxContinuedCounter)
        return refuse(QStringLiteral("its counter is too large to continue"));
    m_lastCounter = int(counter);
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

bool CsvLog::appendRow(const QString& row, QString* error) {
    if (m_fd < 0 || !m_begun) {
        *error = QStringLiteral("the CSV file is not open");
        return false;
    }
    return writeAll(row.toLatin1() + Eol, error);
}

bool CsvLog::writeAll(const QByteArray& bytes, QString* error) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            // A row is there whole or not at all: the next one must not be glued to a fragment.
            if (done > 0) {
                [[maybe_unused]] const int cut = ::ftruncate(m_fd, off_t(m_size));
            }
            *error = QStringLiteral("cannot write ") + m_path + QStringLiteral(": ") + sysText(err);
            return false;
        }
        done += n;
    }
    m_size += bytes.size();
    // Each row on the medium before the next line is taken: a power cut loses at most one row.
    ::fdatasync(m_fd);
    return true;
}

void CsvLog::close() {
    if (m_fd < 0)
        return;
    ::fdatasync(m_fd);
    ::close(m_fd);
    m_fd = -1;
    if (m_created && !m_begun)
        ::unlink(QFile::encodeName(m_path).constData());
}
