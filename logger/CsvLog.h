// The CSV file of a logging session: rows written one whole row per write and synced, so a crash or a
// power cut costs at most the row being written. An existing file is only ever continued (its counter and
// rows kept) or, when asked, replaced; a half-written last row from an earlier crash is cut off. One
// writer per file: the file is locked from prepare() to close(), and a second writer is refused.
#pragma once

#include <QString>

class CsvLog {
public:
    enum class Mode {
        New,    // the file must not exist yet
        Append, // continue an existing file (or start a new one)
        Force,  // replace an existing file
    };

    CsvLog() = default;
    ~CsvLog();
    CsvLog(const CsvLog&) = delete;
    CsvLog& operator=(const CsvLog&) = delete;

    // Checks, locks and opens the file without changing it. For Append, reads the header and the last
    // counter (only the file's start and end are read); a file with the other known header (with or
    // without the time column) is continued in its own columns, see header().
    bool prepare(const QString& path, Mode mode, const QString& header, QString* error);
    // Called once the session really starts: writes the header (new or replaced file) or cuts a broken
    // last row (appended file). A file created here has its folder entry synced too. Before this the
    // file is as it was.
    bool begin(QString* error);
    // One row (without line end) as CR LF terminated 8-bit text, on the medium when this returns true. A
    // failed write or sync leaves no partial row: the row is taken back and false returned.
    bool appendRow(const QString& row, QString* error);
    // Closes the file and releases the lock; a file this object created but never began is removed again.
    void close();

    // The counter of the last row of an appended file, 0 otherwise.
    qint64 lastCounter() const { return m_lastCounter; }
    // Bytes cut from an appended file's broken last row (known after prepare).
    qint64 brokenTail() const { return m_brokenTail; }
    // The header the file has, or gets when begun.
    const QString& header() const { return m_header; }
    bool isOpen() const { return m_fd >= 0; }
    bool begun() const { return m_begun; }
    const QString& path() const { return m_path; }

    // Counters beyond this are refused when appending: the numbering would run out.
    static constexpr qint64 MaxContinuedCounter = 1000000000000000000LL;

private:
    bool lock(QString* error);
    bool readTail(QString* error);
    bool writeAll(const QByteArray& bytes, QString* error);
    bool syncFolder(QString* error);

    int m_fd = -1;
    QString m_path;
    Mode m_mode = Mode::New;
    QString m_header;
    bool m_created = false;
    bool m_begun = false;
    qint64 m_lastCounter = 0;
    qint64 m_keep = 0; // bytes of the existing file that stay
    qint64 m_brokenTail = 0;
    qint64 m_size = 0; // bytes in the file after begin() and every row
};
