// The log text's writer thread: a reader that stops reading never blocks the session, what could not be
// kept is dropped as a counted gap at its place, and everything kept arrives in order.
// labels: threaded
#include "LineOutput.h"

#include <QList>
#include <QRegularExpression>
#include <fcntl.h>
#include <gtest/gtest.h>
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

} // namespace
