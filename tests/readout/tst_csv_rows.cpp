// The CSV row format both writers share and the counter an appended file continues from.
// labels: unit
#include "CsvRows.h"

#include <gtest/gtest.h>

TEST(CsvRows, FileBytesAreLatin1RowsEndingInCrLf) {
    EXPECT_EQ(CsvRows::fileBytes({}), QByteArray());
    EXPECT_EQ(CsvRows::fileBytes({CsvRows::header(), CsvRows::row(2, QStringLiteral("3,9\u00e9"))}),
              QByteArray(" ;voltage\r\n2;3,9\xe9\r\n"));
    EXPECT_EQ(CsvRows::fileLine(CsvRows::row(1000000000000000000LL, QStringLiteral("+4"))),
              QByteArray("1000000000000000000;+4\r\n"));
    // The tools window's export and the logger's rows are one format.
    const QStringList rows{CsvRows::header(), CsvRows::row(2, QStringLiteral("3.9")),
                           CsvRows::row(4, QStringLiteral("3.8"))};
    QByteArray oneByOne;
    for (const QString& r : rows)
        oneByOne += CsvRows::fileLine(r);
    EXPECT_EQ(CsvRows::fileBytes(rows), oneByOne);
}

TEST(CsvRows, CounterOfARowAsAFileHoldsIt) {
    using R = CsvRows::CounterRead;
    const struct {
        QByteArray row;
        R read;
        qint64 counter;
    } cases[] = {
        {"2;3.9", R::Ok, 2},
        {"998;+4", R::Ok, 998},
        {"0;", R::Ok, 0},
        {"007;3.9", R::Ok, 7},
        {"9223372036854775807;3.9", R::Ok, 9223372036854775807LL},
        {"99999999999999999999;3.9", R::TooLarge, -1},
        {" ;voltage", R::Missing, -1},
        {";3.9", R::Missing, -1},
        {"abc;3.9", R::Missing, -1},
        {"-2;3.9", R::Missing, -1},
        {"+2;3.9", R::Missing, -1},
        {"2 ;3.9", R::Missing, -1},
        {"2", R::Missing, -1},
        {"", R::Missing, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row.toStdString());
        qint64 counter = -1;
        EXPECT_EQ(CsvRows::readCounter(c.row, &counter), c.read);
        EXPECT_EQ(counter, c.counter) << "a row without a counter leaves it alone";
    }
}
