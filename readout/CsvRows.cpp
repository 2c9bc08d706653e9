#include "CsvRows.h"

namespace CsvRows {

const QString& header() {
    static const QString text = QStringLiteral(" ;voltage");
    return text;
}

const QString& timedHeader() {
    static const QString text = QStringLiteral(" ;voltage;time");
    return text;
}

QString timeText(const QDateTime& time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

QByteArray fileLine(const QString& row) {
    return row.toLatin1() + LineEnd;
}

QByteArray fileBytes(const QStringList& rows) {
    qsizetype total = 0;
    for (const QString& r : rows)
        total += r.size() + 2;
    QByteArray out;
    out.reserve(total);
    for (const QString& r : rows) {
        out += r.toLatin1();
        out += LineEnd;
    }
    return out;
}

CounterRead readCounter(const QByteArray& row, qint64* counter) {
    const qsizetype semi = row.indexOf(';');
    bool digits = semi > 0;
    for (qsizetype i = 0; digits && i < semi; ++i)
        digits = row[i] >= '0' && row[i] <= '9';
    if (!digits)
        return CounterRead::Missing;
    bool ok = false;
    const qlonglong value = row.left(semi).toLongLong(&ok);
    if (!ok)
        return CounterRead::TooLarge;
    *counter = value;
    return CounterRead::Ok;
}

} // namespace CsvRows
