// The CSV rows of a measurement, as the tools window saves them and the logger writes them: the header
// " ;voltage", then one "counter;voltage" row a reading, the counter going up by 2 and the voltage as the
// device wrote it. The logger's files add the reading's UTC time as a third column (" ;voltage;time"). A
// file holds each row as 8-bit text (ISO-8859-1) ending in CR LF.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace CsvRows {

const QString& header();
const QString& timedHeader();
inline constexpr qint64 CounterStep = 2;
inline constexpr char LineEnd[] = "\r\n";

inline QString row(qint64 counter, const QString& voltage) {
    return QString::number(counter) + QLatin1Char(';') + voltage;
}

// The time column's text: UTC, ISO 8601 with milliseconds, "2026-12-09T18:51:07.412Z".
QString timeText(const QDateTime& time);
inline QString timedRow(const QString& row, const QDateTime& time) {
    return row + QLatin1Char(';') + timeText(time);
}

// One row as a file holds it.
QByteArray fileLine(const QString& row);
// Every row as a file holds them.
QByteArray fileBytes(const QStringList& rows);

enum class CounterRead { Ok, Missing, TooLarge };
// The counter of a row as a file holds it (without its line end): the digits before the first ';'. A row
// that does not start with them (the header, a foreign file) has none.
CounterRead readCounter(const QByteArray& row, qint64* counter);

} // namespace CsvRows
