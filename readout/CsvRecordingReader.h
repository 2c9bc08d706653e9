// Reads a recorded measurement back from its CSV bytes: the monitor's two columns or the logger's three
// (with the reading's UTC time), CR LF or LF, decimal point or comma, with or without a byte-order mark.
// Fed in pieces as they are read (a growing file is fed only what was added); a row is taken only once its
// line end is there. Rows that are not readings are skipped and counted. Each reading becomes a point: x in
// seconds from the first reading, from its time when the recording has times, else from its counter.
#pragma once

#include <QList>
#include <QString>
#include <vector>

class CsvRecordingReader {
public:
    struct Points {
        std::vector<double> x, y;
    };
    enum class State {
        Reading,    // go on feeding
        Binary,     // a NUL byte: not a text file
        NoReadings, // many lines and not one reading: not a recording
    };

    // Takes the next bytes; the points of the complete rows among them are appended to out.
    State feed(const char* data, qsizetype size, Points* out);
    State state() const { return m_state; }

    // Bytes of the file taken so far, whole lines only: where the next read continues.
    qint64 consumed() const { return m_consumed; }
    qint64 readings() const { return m_readings; }
    bool hasTimes() const { return m_timed; }
    // UTC milliseconds since 1970 of the first reading (when the recording has times).
    qint64 firstTimeMs() const { return m_firstTimeMs; }
    qint64 skipped() const { return m_skipped; }
    // The line numbers (from 1) of the first few skipped rows.
    const QList<qint64>& skippedLines() const { return m_skippedLines; }
    // The rows skipped, said for a person: "3 rows skipped: lines 5, 19, 20"; empty when none was.
    QString skippedText() const;

    // Lines without a reading after which a file with none at all is given up.
    static constexpr qint64 GiveUpLines = 1000;
    static constexpr int NamedLines = 5;
    // A line longer than this is no row; its bytes are not kept.
    static constexpr qsizetype LongestRow = 4096;

private:
    void takeLine(const char* line, qsizetype size, Points* out);
    void skip();

    State m_state = State::Reading;
    qint64 m_consumed = 0;
    qint64 m_line = 0; // lines taken
    qint64 m_readings = 0;
    qint64 m_skipped = 0;
    QList<qint64> m_skippedLines;
    bool m_formKnown = false; // columns decided by the header or the first reading
    bool m_timed = false;
    bool m_pendingTooLong = false;
    qint64 m_firstCounter = 0;
    qint64 m_firstTimeMs = 0;
    double m_lastX = 0;
    std::vector<char> m_pending; // a line whose end has not come yet
    qint64 m_pendingBytes = 0;   // its length, also when too long to keep
};
