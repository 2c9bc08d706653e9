// One headless measurement session of pravex-log: the port found by the adapter watcher (or named), the
// serial component's lines through the monitor's readout, the log text to standard output and the CSV
// rows to a file, the readings to an MQTT broker, and the same session carried on when the same adapter
// is plugged in again.
#pragma once

#include "CsvLog.h"
#include "LongTimer.h"
#include "MqttPublisher.h"
#include "readout/StatusReadout.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

class TTevComPort;
class TTevFT232a;

struct LogOptions {
    QString port; // empty: the adapter watcher's active adapter
    QString baud = QStringLiteral("9600");
    QString csvPath;
    CsvLog::Mode csvMode = CsvLog::Mode::New;
    bool plainCsv = false;  // new files without the time column, as the monitor saves them
    qint64 count = 0;       // valid lines; 0: no limit
    double durationSec = 0; // from the first connection; 0: no limit
    double waitSec = 0;     // for the first adapter; 0: for ever
    int retryMs = 1000;     // how often a lost port is looked for
    // Whose stored chip watcher settings (the default adapter) apply: the monitor's.
    QString settingsTitle = QStringLiteral("PRAVEX");
    MqttSettings mqtt; // url empty: no publishing
    // Many adapters (MultiLogSession): every one with a usable port, or those of these serial numbers,
    // each to its own CSV file in csvDir.
    bool all = false;
    QStringList serials;
    QString csvDir;
    QString followSerial;   // an adapter session of a MultiLogSession: this adapter only
    QString adapterId;      // and its name in topics and the spool (default: alias, serial or port)
    int mqttGraceMs = 5000; // at the end, for the broker to take what waits
};

enum LogExit {
    LogExitOk = 0,
    LogExitFailure = 1,
    LogExitUsage = 2,
    LogExitCsv = 3,
    LogExitPort = 4,
    LogExitNoAdapter = 5,
    LogExitMqtt = 6, // the spool cannot be used, or readings did not fit in it
};

// Parses the command line (without the program name). False with error set for a bad one; help is set
// for --help/-h.
bool ParseLogArgs(const QStringList& args, LogOptions* options, QString* error, bool* help);
const char* LogUsageText();

// A received line as one line of terminal text that cannot drive the terminal: every character that is
// not printable (C0 and C1 controls, format characters, line separators, lone surrogates) written as
// \xNN, or \uNNNN / \UNNNNNNNN beyond Latin-1.
QString EscapeLogText(const QString& text);

class LogSession : public QObject, private ReadoutLog, private ReadoutCsv {
    Q_OBJECT
public:
    using Writer = std::function<void(const QString& text)>;

    // out gets the log lines, err the session's messages (each without line end).
    LogSession(const LogOptions& options, Writer out, Writer err, QObject* parent = nullptr);
    ~LogSession() override;

    // Prepares the CSV file and starts looking for the port. False (nothing started, no file left
    // behind) with exitCode() set when the session cannot start.
    bool start();
    // Before start(): the adapter watcher and MQTT side of a MultiLogSession, instead of its own.
    void share(TTevFT232a* watcher, MqttHub* hub) {
        m_watcher = watcher;
        m_hub = hub;
    }
    // The shared watcher has reported.
    void adapterReport() { onDetect(QString()); }
    // Ends the session from anywhere, handlers included: no further line is taken, the worker is
    // stopped, the file closed, then finished(code).
    void requestFinish(int code);

    int exitCode() const { return m_exitCode; }
    qint64 validLines() const { return m_validLines; }
    // Readings that did not reach the CSV file (write or sync failed).
    qint64 lostRows() const { return m_lostRows; }

signals:
    void finished(int code);

private:
    enum class State { WaitingAdapter, Opening, Connected, Lost, Finishing };

    // ReadoutLog, ReadoutCsv
    void entryAdded(const QString& text, TColor colour) override;
    void entriesCleared() override {}
    void rowsReset(const QString& header) override { m_header = header; }
    void rowAdded(const QString& row) override;

    void onDetect(const QString& activeSerial);
    void onConnected();
    void onWorkerEnded();
    void onLine(const QString& line);
    void openPort();
    void tryReconnect();
    bool portPresent() const;
    void finishNow(int code);
    void fail(int code, const QString& message);
    bool startPublisher(const QString& serial);
    QStringList listed() const; // the serial numbers the watcher reports
    void publish(const QString& row);
    void endSession();
    void lastWords();

    LogOptions m_options;
    Writer m_out;
    Writer m_err;
    StatusReadout m_readout;
    CsvLog m_csv;
    QString m_header;
    bool m_timedCsv = false; // the file has the time column
    QDateTime m_rowTime;     // of the last reading
    TTevComPort* m_port = nullptr;
    TTevFT232a* m_watcher = nullptr;
    QTimer m_retryTimer;
    LongTimer m_waitTimer;
    LongTimer m_durationTimer;
    QTimer m_stopPoll;
    State m_state = State::WaitingAdapter;
    bool m_everConnected = false;
    bool m_finishRequested = false;
    bool m_csvFailing = false;
    bool m_defaultAwaited = false;
    bool m_firstOpenFailed = false;
    QString m_openFailure;
    int m_exitCode = LogExitOk;
    int m_stopPolls = 0;
    QString m_portName;
    QString m_serial;           // the followed adapter (auto-detection)
    bool m_adapterSeen = false; // the followed adapter is in the watcher's last report
    QString m_lastError;
    qint64 m_validLines = 0;
    qint64 m_lostRows = 0;
    qint64 m_lostInStretch = 0; // of the current stretch of failures
    int m_rowsSinceTrim = 0;
    std::unique_ptr<MqttHub> m_ownHub;
    MqttHub* m_hub = nullptr;
    MqttPublisher* m_publisher = nullptr;
    QString m_alias;
    QDateTime m_sessionStart;
    bool m_spoolFailing = false;
    bool m_spoolFull = false;
    qint64 m_spoolLostInStretch = 0;
};

// Every alias in the settings store by serial number (empty when the store cannot be read).
QHash<QString, QString> StoredAliases();

// The end of a session's MQTT side: what still waits in the spools, and what did not fit (exit code 6).
void ReportMqttEnd(const MqttHub& hub, int* exitCode, const LogSession::Writer& err);
