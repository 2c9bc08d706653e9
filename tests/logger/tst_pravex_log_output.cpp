// The log text's writer thread: a reader that stops reading never blocks the session, what could not be
// kept is dropped as a counted gap at its place, and everything kept arrives in order.
// labels: threaded
#include "LineOutput.h"

#include <QFile>
#include <QList>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

TEST(LineOutput, AReaderThatStopsNeverBlocksTheWriterAndTheGapIsShown) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    QByteArray got;
    long long dropped = 0;
    {
        LineOutput out(fds[1], 10);
        // Far more than the pipe and the queue hold, with nobody reading: none of these calls may block.
        for (int i = 0; i < 20000; ++i)
            out.write(QByteArray("line ") + QByteArray::number(i));
        dropped = out.dropped();
        EXPECT_GT(dropped, 0);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        // The reader comes back: everything kept is written, then a last line after the gap.
        while (!out.drain(50)) {
            char buf[65536];
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
        }
        out.write("last");
        ASSERT_TRUE(out.drain(30000));
    }
    ::close(fds[1]);
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        got.append(buf, n);
    ::close(fds[0]);
    // In order: every line kept, and each gap where it is with the number of lines it stands for.
    QList<QByteArray> lines = got.split('\n');
    ASSERT_GT(lines.size(), 2);
    EXPECT_TRUE(lines.takeLast().isEmpty());
    EXPECT_EQ(lines.takeLast(), "last");
    const QRegularExpression gap(
        QStringLiteral("^\\((\\d+) log lines not shown: standard output was not read\\)$"));
    long long next = 0, gaps = 0;
    for (const QByteArray& line : lines) {
        const auto m = gap.match(QString::fromLatin1(line));
        if (m.hasMatch()) {
            next += m.captured(1).toLongLong();
            gaps += m.captured(1).toLongLong();
            continue;
        }
        ASSERT_EQ(line, "line " + QByteArray::number(next));
        ++next;
    }
    EXPECT_EQ(next, 20000);
    EXPECT_EQ(gaps, dropped);
}

// An output that fails for a while (here a file at its size limit, as a full disk): said once, later lines
// tried again, and the gap shown where it was; an output that is gone for good is said once and left.
TEST(LineOutput, AFailingOutputIsSaidOnceAndAPassingFailureIsOutlived) {
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("out")));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    std::atomic<int> said{0};
    QString message;
    std::mutex lock;
    const auto trouble = [&](const QString& text) {
        std::lock_guard guard(lock);
        message = text;
        ++said;
    };
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    {
        LineOutput out(fd, 100, trouble);
        out.write("one");
        ASSERT_TRUE(out.drain(30000));
        rlimit tight = old;
        tight.rlim_cur = 6; // "one\n" and two bytes of the next line
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
        for (const char* line : {"two", "three", "four"})
            out.write(line);
        const bool drained = out.drain(30000);
        ::setrlimit(RLIMIT_FSIZE, &old);
        ASSERT_TRUE(drained);
        out.write("five");
        ASSERT_TRUE(out.drain(30000));
        EXPECT_EQ(out.unwritten(), 3);
    }
    std::signal(SIGXFSZ, oldHandler);
    ::close(fd);
    QFile f(dir.filePath(QStringLiteral("out")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("one\ntw\n(3 log lines not written: standard output failed)\nfive\n"));
    EXPECT_EQ(said.load(), 1);
    EXPECT_TRUE(message.contains(QLatin1String("File too large"))) << message.toStdString();

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
    said = 0;
    {
        LineOutput out(fds[1], 100, trouble);
        for (int i = 0; i < 5; ++i)
            out.write("gone");
        EXPECT_TRUE(out.drain(30000));
    }
    std::signal(SIGPIPE, oldPipe);
    ::close(fds[1]);
    EXPECT_EQ(said.load(), 1);
    EXPECT_TRUE(message.contains(QLatin1String("Broken pipe"))) << message.toStdString();
}

} // namespace
