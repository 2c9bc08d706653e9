// Reading recordings back: a file fed in any pieces (as a followed file grows) gives the same points as
// fed whole, and the time column means what the logger wrote.
// labels: unit
#include "CsvRecordingReader.h"
#include "CsvRows.h"

#include <QDateTime>
#include <gtest/gtest.h>

namespace {

struct Read {
    std::vector<double> x, y;
    qint64 consumed, skipped;
    bool operator==(const Read&) const = default;
};

Read readInPieces(const QByteArray& bytes, qsizetype piece) {
    CsvRecordingReader reader;
    CsvRecordingReader::Points points;
    for (qsizetype at = 0; at < bytes.size(); at += piece)
        reader.feed(bytes.constData() + at, std::min(piece, bytes.size() - at), &points);
    return {points.x, points.y, reader.consumed(), reader.skipped()};
}

TEST(CsvRecordingReader, AnySplitOfTheBytesReadsTheSame) {
    const QByteArray files[] = {
        "\xEF\xBB\xBF "
        ";voltage;time\r\n2;3.9;2026-12-09T18:51:07.412Z\r\nbad\r\n4;3,8;2026-12-09T18:51:09.000Z\r\n"
        "6;3.7;2026-12-09T18:5",
        " ;voltage\n2;3.9\n\n4;+4\n" + QByteArray(CsvRecordingReader::LongestRow + 10, 'x') + "\n6;3.5\n8;3.",
    };
    for (const QByteArray& bytes : files) {
        const Read whole = readInPieces(bytes, bytes.size());
        EXPECT_EQ(whole.consumed, bytes.lastIndexOf('\n') + 1) << "whole lines only";
        EXPECT_EQ(whole.skipped, 1);
        for (qsizetype piece : {1, 2, 3, 7, 64, 4097})
            EXPECT_EQ(readInPieces(bytes, piece), whole) << piece;
    }
}

TEST(CsvRecordingReader, TimesAreTheLoggersUtcTimes) {
    const QDateTime first(QDate(2024, 2, 28), QTime(23, 59, 59, 999), Qt::UTC);
    const QDateTime later[] = {first.addMSecs(1), first.addDays(1), first.addDays(366), first.addYears(3)};
    QByteArray bytes = CsvRows::fileLine(CsvRows::timedRow(CsvRows::row(2, QStringLiteral("3.9")), first));
    for (const QDateTime& t : later)
        bytes += CsvRows::fileLine(CsvRows::timedRow(CsvRows::row(4, QStringLiteral("3.9")), t));
    CsvRecordingReader reader;
    CsvRecordingReader::Points points;
    reader.feed(bytes.constData(), bytes.size(), &points);
    ASSERT_TRUE(reader.hasTimes());
    EXPECT_EQ(reader.firstTimeMs(), first.toMSecsSinceEpoch());
    ASSERT_EQ(points.x.size(), std::size(later) + 1);
    for (size_t i = 0; i < std::size(later); ++i)
        EXPECT_DOUBLE_EQ(points.x[i + 1], first.msecsTo(later[i]) / 1000.0)
            << later[i].toString().toStdString();
}

} // namespace
