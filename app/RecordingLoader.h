// One opened recording: read on a thread of its own (a large file never holds up the windows; progress can
// be asked for and the load cancelled), then followed while it grows. Every quarter second the file's
// size and identity are looked at; what was added is read from where the last read ended, and a file
// that shrank or was replaced is read again from its start. The series is touched on the GUI thread only.
#pragma once

#include "RecordingSeries.h"
#include "readout/CsvRecordingReader.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <memory>
#include <thread>

class RecordingLoader : public QObject {
    Q_OBJECT
public:
    explicit RecordingLoader(const QString& path, QObject* parent = nullptr);
    ~RecordingLoader() override;

    void start();
    // Ends a first load still running; failed() follows.
    void cancel();
    bool loading() const { return !m_opened && m_running; }
    bool opened() const { return m_opened; }
    int progressPercent() const;
    const RecordingSeries& series() const { return m_series; }
    void setColour(const QColor& colour) { m_series.colour = colour; }
    const CsvRecordingReader& reader() const { return m_reader; }

    // Larger files are not opened: their points would not fit in memory alongside the rest.
    static constexpr qint64 MaxBytes = 1000000000;
    static constexpr int FollowMs = 250;

signals:
    // The first load has ended with the recording open; message says what it holds.
    void loaded(const QString& message);
    // The file is not opened (or no longer followed, when it was open); message says why.
    void failed(const QString& message);
    // Points were added, or the recording read again.
    void grew();

private slots:
    void resultReady();

private:
    struct Result;
    struct FileId {
        qint64 dev = -1, ino = -1, size = -1, mtimeNs = -1;
        bool operator==(const FileId&) const = default;
    };
    void launch();
    void finish(const std::shared_ptr<Result>& result);
    void poll();
    // On the loader's thread: reads what is new and hands the result back to the GUI thread.
    void work(const QByteArray& path, const QString& name, const std::shared_ptr<Result>& result);
    QString summary() const;

    RecordingSeries m_series;
    CsvRecordingReader m_reader;
    qint64 m_fed = 0;  // bytes of the file given to the reader
    QByteArray m_tail; // the last of them
    FileId m_read;     // the file as the last read found it
    bool m_running = false;
    bool m_opened = false;
    bool m_following = false;
    QTimer m_follow;
    std::thread m_thread;
    std::shared_ptr<Result> m_result; // the thread's, until it has been joined
    std::atomic<bool> m_cancel{false};
    std::atomic<qint64> m_done{0}, m_total{0};
};
