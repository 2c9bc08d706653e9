// The readout of the device's status lines ("PVEX: 3.9V ON"): parses one line at a time and keeps what the
// main window and the tools window show. Runs on the GUI thread; the windows reach it only through the
// sinks of ReadoutSinks.h, so it can be driven with lines alone.
#pragma once

#include "ReadoutSinks.h"
#include "common/TevTools.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QPointF>
#include <QStringList>
#include <functional>

class StatusReadout {
public:
    StatusReadout();

    void setLog(ReadoutLog* log) { m_log = log; }
    void setChart(ReadoutChart* chart) { m_chart = chart; }
    void setCsv(ReadoutCsv* csv) { m_csv = csv; }
    void setBlink(LowBatBlink* blink) { m_blink = blink; }
    // Regional settings for the number and the log's date-time text; the system locale by default.
    void setLocale(const QLocale& locale) { m_locale = locale; }
    // The locale's long time format less its time-zone name, as the log's time stamp uses it.
    static QString LongTimeWithoutZone(const QLocale& locale);
    // Source of the log's time stamps; the current local time by default.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // One received line (without its CR). Never throws; a line that does not parse is logged as "garbage".
    void update(const QString& line);
    // What START resets: chart time, last voltage, chart points, log, CSV rows (header " ;voltage"), counter.
    void start();
    // The blink timer's tick: toggles the label's visibility and returns it.
    bool toggleLowBatLabel();

    const QString& displayCaption() const { return m_caption; }
    TColor litColour() const { return m_lit; }
    TColor unlitColour() const { return m_unlit; }
    const QString& converterText() const { return m_converterText; }
    TColor converterColour() const { return m_converterColour; }
    bool lowBatBlinking() const { return m_blinking; }
    bool lowBatLabelVisible() const { return m_labelVisible; }
    double chartTime() const { return m_chartTime; }
    double lastVoltage() const { return m_lastVoltage; }
    const QList<QPointF>& chartPoints() const { return m_points; }
    double axisMinimum() const { return m_axisMin; }
    double axisMaximum() const { return m_axisMax; }
    const QStringList& csvRows() const { return m_csvRows; }
    qint64 csvCounter() const { return m_csvCounter; }
    // Continues the CSV numbering after `value` (a log appended to an earlier session's file).
    void setCsvCounter(qint64 value) { m_csvCounter = value; }

    // The log's look: "Consolas", size 8, regular.
    static constexpr int LogFontSize = 8;
    static const QString& logFontName();

private:
    void apply(const QString& line);
    void appendLog(const QString& text, TColor colour);
    bool parseNumber(const QString& text, double* value) const;

    ReadoutLog* m_log = nullptr;
    ReadoutChart* m_chart = nullptr;
    ReadoutCsv* m_csv = nullptr;
    LowBatBlink* m_blink = nullptr;
    QLocale m_locale;
    std::function<QDateTime()> m_clock;

    QString m_caption;
    TColor m_lit;
    TColor m_unlit;
    QString m_converterText;
    TColor m_converterColour;
    bool m_blinking = false;
    bool m_labelVisible = false;
    double m_chartTime = 0;
    double m_lastVoltage = 0;
    QList<QPointF> m_points;
    double m_axisMin;
    double m_axisMax;
    QStringList m_csvRows;
    qint64 m_csvCounter = 0; // grows by 2 a reading, from wherever an appended file left it
};
