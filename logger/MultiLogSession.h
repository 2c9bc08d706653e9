// pravex-log --all / --serial: one LogSession per adapter, each following its adapter by serial number
// across re-plugs, sharing one adapter watcher and one MQTT side. Adapters plugged in later join. Each
// adapter's lines and messages are told apart by its alias (or serial number) in brackets.
#pragma once

#include "LogSession.h"

#include <QMap>
#include <QSet>

class MultiLogSession : public QObject {
    Q_OBJECT
public:
    MultiLogSession(const LogOptions& options, LogSession::Writer out, LogSession::Writer err,
                    QObject* parent = nullptr);
    ~MultiLogSession() override;

    bool start();
    void requestFinish(int code);
    int exitCode() const { return m_exitCode; }

signals:
    void finished(int code);

private:
    void onDetect();
    void addAdapter(const QString& serial);
    void adapterEnded(const QString& serial, int code);
    void endAll();

    LogOptions m_options;
    LogSession::Writer m_out;
    LogSession::Writer m_err;
    TTevFT232a* m_watcher = nullptr;
    std::unique_ptr<MqttHub> m_hub;
    QSet<QString> m_names;                 // of files and topics in use
    QMap<QString, LogSession*> m_sessions; // by serial number; ended ones stay, so they do not start again
    int m_running = 0;
    bool m_finishing = false;
    bool m_ended = false;
    int m_exitCode = LogExitOk;
    LongTimer m_waitTimer;
    LongTimer m_durationTimer;
};
