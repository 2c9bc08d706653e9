// Parsing by hand, without QString or QDateTime per row: a million rows must read in a fraction of a second.
#include "CsvRecordingReader.h"

#include "CsvRows.h"

#include <charconv>
#include <cstring>

namespace {

bool digitsOf(const char* s, int n, int* value) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return true;
}

// Days from 1970-01-01 of a proleptic Gregorian date.
qint64 daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = int(y - era * 400);
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// "2026-12-09T18:51:07.412Z" (the milliseconds may be left out): UTC milliseconds since 1970.
bool parseTime(const char* s, qsizetype n, qint64* ms) {
    if (n != 20 && n != 24)
        return false;
    int y, mo, d, h, mi, se, milli = 0;
    if (!digitsOf(s, 4, &y) || s[4] != '-' || !digitsOf(s + 5, 2, &mo) || s[7] != '-' ||
        !digitsOf(s + 8, 2, &d) || s[10] != 'T' || !digitsOf(s + 11, 2, &h) || s[13] != ':' ||
        !digitsOf(s + 14, 2, &mi) || s[16] != ':' || !digitsOf(s + 17, 2, &se) || s[n - 1] != 'Z')
        return false;
    if (n == 24 && (s[19] != '.' || !digitsOf(s + 20, 3, &milli)))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60)
        return false;
    *ms = ((daysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000 + qint64(se) * 1000 + milli;
    return true;
}

// The voltage as the device wrote it: an optional sign, digits, and a decimal point or comma.
bool parseVoltage(const char* s, qsizetype n, double* value) {
    char buf[64];
    if (n <= 0 || n >= qsizetype(sizeof buf))
        return false;
    qsizetype i = 0;
    if (s[0] == '+')
        ++i; // from_chars takes no '+'
    qsizetype len = 0;
    bool digits = false, point = false;
    for (; i < n; ++i) {
        char c = s[i];
        if (c >= '0' && c <= '9')
            digits = true;
        else if ((c == '.' || c == ',') && !point) {
            point = true;
            c = '.';
        } else if (!(c == '-' && i == 0))
            return false;
        buf[len++] = c;
    }
    if (!digits)
        return false;
    const auto r = std::from_chars(buf, buf + len, *value);
    return r.ec == std::errc() && r.ptr == buf + len;
}

bool parseCounter(const char* s, qsizetype n, qint64* value) {
    if (n <= 0 || n > 18)
        return false;
    qint64 v = 0;
    for (qsizetype i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return true;
}

bool lineIs(const char* line, qsizetype size, const QString& text) {
    const QByteArray latin = text.toLatin1();
    return size == latin.size() && std::memcmp(line, latin.constData(), size_t(size)) == 0;
}

} // namespace

CsvRecordingReader::State CsvRecordingReader::feed(const char* data, qsizetype size, Points* out) {
    qsizetype at = 0;
    while (m_state == State::Reading && at < size) {
        const void* nl = std::memchr(data + at, '\n', size_t(size - at));
        const qsizetype end = nl ? static_cast<const char*>(nl) - data : size;
        if (std::memchr(data + at, '\0', size_t(end - at))) {
            m_state = State::Binary;
            break;
        }
        if (!nl) {
            // Kept until its end comes; a line too long for a row is only counted.
            m_pendingBytes += size - at;
            if (!m_pendingTooLong && m_pendingBytes <= LongestRow)
                m_pending.insert(m_pending.end(), data + at, data + size);
            else {
                m_pendingTooLong = true;
                m_pending.clear();
            }
            break;
        }
        if (m_pendingBytes + (end - at) > LongestRow)
            m_pendingTooLong = true;
        if (m_pendingTooLong) {
            ++m_line;
            skip();
        } else if (m_pending.empty()) {
            takeLine(data + at, end - at, out);
        } else {
            m_pending.insert(m_pending.end(), data + at, data + end);
            takeLine(m_pending.data(), qsizetype(m_pending.size()), out);
        }
        m_consumed += m_pendingBytes + (end - at) + 1;
        m_pendingBytes = 0;
        m_pending.clear();
        m_pendingTooLong = false;
        at = end + 1;
        if (m_readings == 0 && m_line >= GiveUpLines)
            m_state = State::NoReadings;
    }
    return m_state;
}

void CsvRecordingReader::skip() {
    ++m_skipped;
    if (m_skippedLines.size() < NamedLines)
        m_skippedLines.append(m_line);
}

void CsvRecordingReader::takeLine(const char* line, qsizetype size, Points* out) {
    ++m_line;
    if (m_line == 1 && size >= 3 && std::memcmp(line, "\xEF\xBB\xBF", 3) == 0) {
        line += 3;
        size -= 3;
    }
    if (size > 0 && line[size - 1] == '\r')
        --size;
    if (size == 0)
        return; // a blank line is no row
    if (m_line == 1 && lineIs(line, size, CsvRows::header())) {
        m_formKnown = true;
        return;
    }
    if (m_line == 1 && lineIs(line, size, CsvRows::timedHeader())) {
        m_formKnown = m_timed = true;
        return;
    }
    const char* fields[4];
    qsizetype lengths[4];
    int count = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= size && count < 4; ++i) {
        if (i == size || line[i] == ';') {
            fields[count] = line + start;
            lengths[count++] = i - start;
            start = i + 1;
        }
    }
    qint64 counter = 0, timeMs = 0;
    double voltage = 0;
    const bool columnsFit = m_formKnown ? count == (m_timed ? 3 : 2) : (count == 2 || count == 3);
    if (!columnsFit || !parseCounter(fields[0], lengths[0], &counter) ||
        !parseVoltage(fields[1], lengths[1], &voltage) ||
        (count == 3 && !parseTime(fields[2], lengths[2], &timeMs))) {
        skip();
        return;
    }
    if (!m_formKnown) {
        m_formKnown = true;
        m_timed = count == 3;
    }
    if (m_readings == 0) {
        m_firstCounter = counter;
        m_firstTimeMs = timeMs;
    }
    const double x = m_timed ? double(timeMs - m_firstTimeMs) / 1000.0 : double(counter - m_firstCounter);
    // The chart needs its x in order: a reading from before the one already drawn cannot be placed.
    if (m_readings > 0 && x < m_lastX) {
        skip();
        return;
    }
    m_lastX = x;
    ++m_readings;
    out->x.push_back(x);
    out->y.push_back(voltage);
}

QString CsvRecordingReader::skippedText() const {
    if (m_skipped == 0)
        return {};
    QStringList lines;
    for (qint64 l : m_skippedLines)
        lines << QString::number(l);
    QString text = m_skipped == 1
                       ? QStringLiteral("1 row skipped: line %1").arg(lines.constFirst())
                       : QStringLiteral("%1 rows skipped: lines %2").arg(m_skipped).arg(lines.join(", "));
    if (m_skipped > m_skippedLines.size())
        text += QStringLiteral(", …");
    return text;
}
