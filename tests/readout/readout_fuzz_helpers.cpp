// Invariants of the readout under arbitrary input.
#include "readout_fuzz_helpers.h"

#include <cmath>

ReadoutFuzzer::ReadoutFuzzer() {
    m_rec.attach(m_readout);
    m_readout.start();
}

QString ReadoutFuzzer::feed(const QByteArray& bytes) {
    for (QByteArray line : bytes.split('\r')) {
        if (line.startsWith('\n'))
            line.remove(0, 1);
        if (line.isEmpty())
            continue; // the link never hands over an empty line
        const QString broken = check(QString::fromLatin1(line));
        if (!broken.isEmpty())
            return broken;
    }
    return {};
}

QString ReadoutFuzzer::check(const QString& line) {
    const StatusReadout& r = m_readout;
    const qsizetype points = r.chartPoints().size();
    const double lastX = points ? r.chartPoints().last().x() : 0;
    const QString caption = r.displayCaption();
    const qint64 counter = r.csvCounter();
    try {
        m_readout.update(line);
    } catch (...) {
        return QStringLiteral("update threw");
    }
    const bool valid = r.chartPoints().size() == points + 1;
    if (!valid && r.chartPoints().size() != points)
        return QStringLiteral("more than one point for one line");
    valid ? ++m_valid : ++m_garbage;
    // A fuzzing run feeds millions of lines: only the latest log entries are kept.
    if (m_rec.entries.size() > 1000) {
        m_rec.entries.remove(0, 500);
        m_rec.colours.remove(0, 500);
    }
    if (r.csvRows().size() != r.chartPoints().size() + 1)
        return QStringLiteral("CSV rows %1 for %2 points")
            .arg(r.csvRows().size())
            .arg(r.chartPoints().size());
    if (valid) {
        if (!(r.chartPoints().last().x() > lastX))
            return QStringLiteral("chart x did not increase");
        if (!std::isfinite(r.lastVoltage()))
            return QStringLiteral("voltage not finite");
        if (r.csvCounter() != counter + 2)
            return QStringLiteral("counter did not advance by 2");
        if (m_rec.lastLog() == QLatin1String("garbage"))
            return QStringLiteral("valid line logged as garbage");
    } else {
        if (r.displayCaption() != caption || r.csvCounter() != counter)
            return QStringLiteral("garbage line changed the readout");
        if (m_rec.lastLog() != QLatin1String("garbage"))
            return QStringLiteral("garbage line not logged as garbage");
    }
    if (!(r.axisMinimum() <= 2.9 && r.axisMaximum() >= 4.2))
        return QStringLiteral("axis shrank");
    // Every line, garbage included, sets the blink by its tag alone.
    QString tag = line.startsWith(QChar(0)) ? line.mid(1) : line;
    tag = tag.left(tag.indexOf(QLatin1Char(':')));
    while (tag.startsWith(QLatin1Char(' ')))
        tag.remove(0, 1);
    while (tag.endsWith(QLatin1Char(' ')))
        tag.chop(1);
    if (r.lowBatBlinking() != (tag == QLatin1String("LBAT")))
        return QStringLiteral("blink does not follow the tag");
    return {};
}
