// The readings of one adapter that the broker has not acknowledged yet, in a file, so that neither a
// broker that is away nor a crash of the logger loses them. Records are appended in arrival order and
// handed out in that order; a delivered prefix is marked in the file's header and cut off once it has
// grown. Bounded by a number of records: past it, new readings are refused and counted.
//
// Offsets given out are logical (they keep growing when the file is compacted). Thread-safe: the session
// appends while the MQTT thread reads, acknowledges, syncs and compacts; the slow parts of the last two
// run outside the lock, so an append never waits for the disk's bulk work.
//
// The file names the adapter it belongs to (its serial number): another adapter's spool is refused.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <mutex>

class Spool {
public:
    struct Record {
        QByteArray payload;
        qint64 end = 0; // logical offset just after it: what acknowledge() takes
    };

    Spool() = default;
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Opens (creating the folder and file) and locks the spool of the adapter `serial` (empty: a port
    // without one): one logger per spool. A torn last record from a crash is dropped. False with error set
    // when it cannot be used, also when it belongs to another adapter. A file without an owner (written
    // before spools named theirs) is taken as it is.
    bool open(const QString& path, qint64 maxRecords, QString* error, const QString& serial = QString());
    void close();
    bool isOpen() const;

    // Appends one record (a single line: no '\n' in it). False when the bound is reached (the record is
    // counted in dropped()) or the write failed (error set, the record counted in failed()).
    bool append(const QByteArray& payload, QString* error);
    // Up to max records starting at logical offset from (begin() for the oldest undelivered one).
    QList<Record> read(qint64 from, int max) const;
    // Everything up to the logical offset end, that many records since begin(), is delivered.
    void acknowledge(qint64 end, qint64 records);
    // Pushes appended records to the disk (a power cut, not only a crash). False with error set when the
    // disk refused them.
    bool sync(QString* error = nullptr);

    qint64 begin() const;
    qint64 end() const;
    qint64 pending() const;
    qint64 dropped() const; // refused: the spool was full
    qint64 failed() const;  // not written: the disk failed
    const QString& path() const { return m_path; }

    // "PVXSPOOL <mark>" then, on a line of its own, "serial <percent-encoded serial number>".
    static constexpr int HeaderSize = 32;
    // The delivered prefix is cut off once it is this large (and half the file).
    static constexpr qint64 CompactBytes = 4 << 20;

private:
    bool writeHeader(qint64 physicalMark);
    bool createHeader(QString* error);
    void compact(std::unique_lock<std::mutex>& lock);

    mutable std::mutex m_mutex;
    QString m_path;
    int m_fd = -1;
    int m_lockFd = -1;
    qint64 m_max = 0;
    QByteArray m_owner;           // the file's owner line, empty for a file without one
    QByteArray m_wantedOwner;     // this adapter's
    qint64 m_start = 0;           // physical offset of the first record
    bool m_headerMissing = false; // a new file whose header did not fit on the disk yet
    qint64 m_base = 0;            // logical offset of physical offset 0
    qint64 m_mark = 0;            // physical offset of the first undelivered record
    qint64 m_markWritten = 0;     // the mark in the file's header
    qint64 m_size = 0;            // physical size
    qint64 m_pending = 0;
    qint64 m_dropped = 0;
    qint64 m_failed = 0;
    bool m_dirty = false;
};
