// The status-line readout: one line in, the display, converter label, blink, chart, log and CSV rows out.
// Steps follow the order the user can observe: the blink switches before the line is judged, and a line
// that is judged garbage changes nothing else.
#include "StatusReadout.h"
#include "CsvRows.h"

#include <cmath>

namespace {

constexpr TColor Grey = 0x808080;
constexpr TColor Blue = 0xFF0000;
constexpr TColor Green = 0x008000;
constexpr TColor Red = 0x0000FF;
constexpr TColor OrangeBlue = 0xFF8000; // RGB 0,128,255
constexpr TColor DarkBlue = 0x58100E;   // RGB 14,16,88
constexpr TColor LimeLit = 0x00FF80;    // RGB 128,255,0
constexpr TColor LimeUnlit = 0x002400;  // RGB 0,36,0

// Only code 32 counts as a space here: tabs and other white space belong to the text.
QString trimSpaces(const QString& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && s[b] == QLatin1Char(' '))
        ++b;
    while (e > b && s[e - 1] == QLatin1Char(' '))
        --e;
    return s.mid(b, e - b);
}

// Split at the first delimiter; both parts trimmed of spaces.
void splitFirst(const QString& text, QChar delimiter, QString* head, QString* rest) {
    const qsizetype at = text.indexOf(delimiter);
    if (at < 0) {
        *head = trimSpaces(text);
        rest->clear();
    } else {
        *head = trimSpaces(text.left(at));
        *rest = trimSpaces(text.mid(at + 1));
    }
}

} // namespace

const QString& StatusReadout::logFontName() {
    static const QString name = QStringLiteral("Consolas");
    return name;
}

StatusReadout::StatusReadout()
    : m_locale(QLocale::system()), m_clock([] { return QDateTime::currentDateTime(); }),
      m_caption(QStringLiteral(" -.-- V")), m_lit(OrangeBlue), m_unlit(DarkBlue),
      m_converterText(QStringLiteral("--")), m_converterColour(Blue), m_axisMin(2.9), m_axisMax(4.2) {}

// A plain decimal number: optional sign, digits, at most one separator. The regional separator and either
// of "." and "," are taken, so a device writing "3.9" works for a user whose locale writes "3,9".
bool StatusReadout::parseNumber(const QString& text, double* value) const {
    const QString regional = m_locale.decimalPoint();
    QByteArray plain;
    plain.reserve(text.size());
    qsizetype i = 0;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        plain.append(char(text[i++].unicode()));
    bool separator = false;
    int digits = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            plain.append(char(c.unicode()));
            ++digits;
            ++i;
        } else if (!separator && (c == QLatin1Char('.') || c == QLatin1Char(','))) {
            plain.append('.');
            separator = true;
            ++i;
        } else if (!separator && !regional.isEmpty() && text.mid(i, regional.size()) == regional) {
            plain.append('.');
            separator = true;
            i += regional.size();
        } else {
            return false;
        }
    }
    if (digits == 0)
        return false;
    bool ok = false;
    const double v = QLocale::c().toDouble(QLatin1String(plain), &ok);
    if (!ok || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

void StatusReadout::appendLog(const QString& text, TColor colour) {
    if (m_log)
        m_log->entryAdded(text, colour);
}

void StatusReadout::update(const QString& received) {
    // Nothing may travel back into the serial worker's hand-over: an odd line is never a failed link.
    try {
        apply(received);
    } catch (...) {
    }
}

void StatusReadout::apply(const QString& received) {
    // Step 1: one leading NUL goes; what remains is the log's raw line.
    QString line = received;
    if (!line.isEmpty() && line[0] == QChar(0))
        line.remove(0, 1);

    // Step 2.
    QString tag, rest, voltageWord, state;
    splitFirst(line, QLatin1Char(':'), &tag, &rest);
    splitFirst(rest, QLatin1Char(' '), &voltageWord, &state);

    // Step 3: the blink follows every line, garbage included; a running blink keeps its phase.
    const bool lowBat = tag == QLatin1String("LBAT");
    try {
        if (lowBat) {
            if (!m_blinking) {
                m_blinking = true;
                if (m_blink)
                    m_blink->startBlinking();
            }
        } else {
            m_blinking = false;
            m_labelVisible = false;
            if (m_blink)
                m_blink->stopBlinking();
        }
    } catch (...) {
    }

    // Step 4.
    QString number, unused;
    splitFirst(voltageWord, QLatin1Char('V'), &number, &unused);

    // Step 5, with the number judged here too: a line whose voltage does not convert is garbage as a whole
    // rather than half applied (and it must never end the connection).
    const bool on = state == QLatin1String("ON");
    const bool off = state == QLatin1String("OFF");
    double voltage = 0;
    if (!(on || off) || !(lowBat || tag == QLatin1String("PVEX")) || !parseNumber(number, &voltage)) {
        try {
            appendLog(QStringLiteral("garbage"), Grey);
        } catch (...) {
        }
        return;
    }

    // Step 6.
    const TColor logColour = lowBat ? Red : (on ? Green : Blue);
    // Step 7.
    m_caption =
        QLatin1Char(' ') + QString(number).replace(QLatin1Char(','), QLatin1Char('.')) + QStringLiteral(" V");
    // Steps 8 and 9.
    m_chartTime += 2.0;
    m_lastVoltage = voltage;
    // Step 10: strict tests; the limits only ever widen.
    bool axisChanged = false;
    if (m_lastVoltage > m_axisMax) {
        m_axisMax = m_lastVoltage + 0.2;
        axisChanged = true;
    }
    if (m_lastVoltage < m_axisMin) {
        m_axisMin = m_lastVoltage - 0.2;
        axisChanged = true;
    }
    // Step 11.
    m_points.append(QPointF(m_chartTime, m_lastVoltage));
    try {
        if (m_chart) {
            if (axisChanged)
                m_chart->setAxisRange(m_axisMin, m_axisMax);
            m_chart->addPoint(m_chartTime, m_lastVoltage);
        }
    } catch (...) {
    }
    // Steps 12 and 13.
    m_converterText = state;
    m_converterColour = off ? Red : OrangeBlue;
    m_lit = off ? OrangeBlue : LimeLit;
    m_unlit = off ? DarkBlue : LimeUnlit;

    // Step 14. A failing log append must not cost the line its CSV row.
    try {
        const QDateTime now = m_clock ? m_clock() : QDateTime::currentDateTime();
        const QString stamp = m_locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                              m_locale.toString(now.time(), LongTimeWithoutZone(m_locale));
        appendLog(stamp + QStringLiteral(" > ") + line, logColour);
    } catch (...) {
    }
    try {
        m_csvCounter += CsvRows::CounterStep;
        const QString row = CsvRows::row(m_csvCounter, number);
        m_csvRows.append(row);
        if (m_csv)
            m_csv->rowAdded(row);
    } catch (...) {
    }
}

void StatusReadout::start() {
    m_chartTime = 0;
    m_lastVoltage = 0;
    m_points.clear();
    m_csvRows.clear();
    m_csvRows.append(CsvRows::header());
    m_csvCounter = 0;
    try {
        if (m_chart)
            m_chart->clearPoints();
    } catch (...) {
    }
    try {
        if (m_log)
            m_log->entriesCleared();
    } catch (...) {
    }
    try {
        if (m_csv)
            m_csv->rowsReset(CsvRows::header());
    } catch (...) {
    }
}

bool StatusReadout::toggleLowBatLabel() {
    m_labelVisible = !m_labelVisible;
    return m_labelVisible;
}

QString StatusReadout::LongTimeWithoutZone(const QLocale& locale) {
    // The log is narrow: a zone name ("UTC", "Central European Standard Time") would wrap most lines.
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            out += c;
        } else if (!quoted && c == QLatin1Char('t')) {
            // The zone and a space or bracket that only set it apart.
        } else {
            out += c;
        }
    }
    out.replace(QStringLiteral("()"), QString());
    out.replace(QStringLiteral("[]"), QString());
    // A comma that set the zone apart ("h:mm:ss AP, t") would end every time stamp.
    const auto separator = [](QChar c) {
        return c.isSpace() || c == QLatin1Char(',') || c == QLatin1Char(';') || c == QChar(0x060C);
    };
    while (!out.isEmpty() && separator(out.back()))
        out.chop(1);
    while (!out.isEmpty() && separator(out.front()))
        out.remove(0, 1);
    return out.simplified();
}
