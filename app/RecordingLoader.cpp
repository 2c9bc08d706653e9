#include "RecordingLoader.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct RecordingLoader::Result {
    CsvRecordingReader reader;
    CsvRecordingReader::Points points;
    qint64 fed = 0;
    FileId id;
    bool first = false;
    bool reread = false;
    bool cancelled = false;
    bool vanished = false; // no file of that name just now: a replacement may be on its way
    QByteArray tail;       // the last bytes read, to see that they are still there
    QString error;
};

namespace {

constexpr qint64 ChunkBytes = qint64(1) << 20;
constexpr qsizetype TailBytes = 64;

QString sizeText(qint64 bytes) {
    return QStringLiteral("%1 GB").arg(double(bytes) / 1e9, 0, 'f', 1);
}

} // namespace

RecordingLoader::RecordingLoader(const QString& path, QObject* parent) : QObject(parent) {
    m_series.path = path;
    m_series.name = QFileInfo(path).fileName();
    m_follow.setInterval(FollowMs);
    connect(&m_follow, &QTimer::timeout, this, [this] { poll(); });
}

RecordingLoader::~RecordingLoader() {
    m_cancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

void RecordingLoader::start() {
    launch();
}

void RecordingLoader::cancel() {
    if (!m_opened)
        m_cancel = true;
}

int RecordingLoader::progressPercent() const {
    const qint64 total = m_total.load();
    return total > 0 ? int(std::min<qint64>(100, m_done.load() * 100 / total)) : 0;
}

void RecordingLoader::launch() {
    if (m_running)
        return;
    auto result = std::make_shared<Result>();
    result->reader = m_reader;
    result->fed = m_fed;
    result->id = m_read;
    result->first = !m_opened;
    result->tail = m_tail;
    m_done = 0;
    m_total = 0;
    m_running = true;
    if (m_thread.joinable())
        m_thread.join();
    m_thread =
        std::thread(&RecordingLoader::work, this, QFile::encodeName(m_series.path), m_series.name, result);
}

void RecordingLoader::work(const QByteArray& path, const QString& name, const std::shared_ptr<Result>& r) {
    const auto done = [&] {
        // Queued to this object by name, so nothing of this thread's making travels with it: the result is
        // taken only once the thread has been joined. Dropped if the object is gone (its destructor waits
        // for this thread first).
        m_result = r;
        QMetaObject::invokeMethod(this, "resultReady", Qt::QueuedConnection);
    };
    // Non-blocking, so a pipe or a device never holds the thread in open().
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        r->vanished = err == ENOENT && !r->first;
        r->error = QStringLiteral("Cannot read %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(err)));
        return done();
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        r->error = QStringLiteral("%1 is not a file that can be opened as a recording").arg(name);
        return done();
    }
    const FileId id{qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size),
                    qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    bool same = r->first || (id.dev == r->id.dev && id.ino == r->id.ino && id.size >= r->fed);
    if (same && !r->first && !r->tail.isEmpty()) {
        // Cut and written again past its old length between two looks: the bytes before are others.
        QByteArray now(r->tail.size(), '\0');
        same = ::pread(fd, now.data(), size_t(now.size()), off_t(r->fed - now.size())) == now.size() &&
               now == r->tail;
    }
    if (!same) {
        // Replaced or cut short: what was read may no longer be what the file holds.
        r->reread = true;
        r->reader = CsvRecordingReader();
        r->fed = 0;
    }
    r->id = id;
    if (id.size > MaxBytes) {
        ::close(fd);
        r->error = QStringLiteral("%1 is too large to open (%2; at most %3)")
                       .arg(name, sizeText(id.size), sizeText(MaxBytes));
        return done();
    }
    if (r->first && id.size == 0) {
        ::close(fd);
        r->error = QStringLiteral("%1 is empty").arg(name);
        return done();
    }
    m_total = id.size - r->fed;
    std::vector<char> buffer(size_t(std::min(ChunkBytes, std::max<qint64>(1, id.size - r->fed))));
    while (r->fed < id.size) {
        if (m_cancel) {
            r->cancelled = true;
            break;
        }
        const ssize_t n =
            ::pread(fd, buffer.data(), size_t(std::min<qint64>(qint64(buffer.size()), id.size - r->fed)),
                    off_t(r->fed));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            r->error =
                QStringLiteral("Cannot read %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
        if (n == 0)
            break; // cut short meanwhile: the next look finds it
        r->fed += n;
        m_done += n;
        const qsizetype keep = std::min<qsizetype>(qsizetype(n), TailBytes);
        r->tail = (r->tail + QByteArray(buffer.data() + n - keep, keep)).right(TailBytes);
        if (r->reader.feed(buffer.data(), n, &r->points) != CsvRecordingReader::State::Reading)
            break;
    }
    ::close(fd);
    done();
}

QString RecordingLoader::summary() const {
    const qint64 n = m_reader.readings();
    QString text = QStringLiteral("%1: %2 %3").arg(m_series.name).arg(n).arg(n == 1 ? "reading" : "readings");
    if (m_reader.readings() > 0)
        text += m_reader.hasTimes() ? QStringLiteral(" with times") : QStringLiteral(" without times");
    const QString skipped = m_reader.skippedText();
    if (!skipped.isEmpty())
        text += QStringLiteral(", ") + skipped;
    return text;
}

void RecordingLoader::resultReady() {
    if (m_thread.joinable())
        m_thread.join();
    if (std::shared_ptr<Result> r = std::move(m_result))
        finish(r);
}

void RecordingLoader::finish(const std::shared_ptr<Result>& r) {
    m_running = false;
    const bool first = !m_opened;
    const auto giveUp = [&](const QString& message) {
        m_follow.stop();
        m_following = false;
        emit failed(message);
    };
    if (r->cancelled && first)
        return giveUp(QStringLiteral("Loading %1 cancelled").arg(m_series.name));
    if (r->vanished)
        return; // looked for again at the next turn
    if (!r->error.isEmpty())
        return giveUp(r->error);
    if (r->reader.state() == CsvRecordingReader::State::Binary)
        return giveUp(QStringLiteral("%1 is not a CSV file: it holds binary data").arg(m_series.name));
    if (r->reader.state() == CsvRecordingReader::State::NoReadings ||
        (first && r->reader.readings() == 0 && r->reader.skipped() > 0))
        return giveUp(
            QStringLiteral("%1 holds no readings (%2)").arg(m_series.name, r->reader.skippedText()));

    if (r->reread)
        m_series.clear();
    m_reader = r->reader;
    m_fed = r->fed;
    m_tail = r->tail;
    m_read = r->id;
    m_series.hasTimes = m_reader.hasTimes();
    m_series.firstTimeMs = m_reader.firstTimeMs();
    const bool grown = !r->points.x.empty();
    m_series.append(std::move(r->points));
    if (first) {
        m_opened = true;
        m_following = true;
        m_follow.start();
        emit loaded(summary());
    } else if (r->reread || grown) {
        emit grew();
    }
}

void RecordingLoader::poll() {
    if (m_running || !m_following)
        return;
    struct stat st {};
    if (::stat(QFile::encodeName(m_series.path).constData(), &st) != 0)
        return; // gone for now; a replacement is read when it comes
    const FileId now{qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size),
                     qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    if (now != m_read)
        launch();
}
