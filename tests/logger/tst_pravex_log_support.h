// Running pravex-log (and pravex-devsim) as a user would: processes with their output collected, waits
// for what they print rather than for fixed times, and the simulated FTDI driver's adapter file.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>

namespace logtest {

inline QString binary(const char* var) {
    const char* v = std::getenv(var);
    return v ? QString::fromLocal8Bit(v) : QString();
}

inline QString scratchDir(const QString& name) {
    const QString base = QString::fromLocal8Bit(qgetenv("PRAVEX_TEST_TMP"));
    const QString dir = (base.isEmpty() ? QDir::tempPath() + QStringLiteral("/pravex-log-test") : base) +
                        QLatin1Char('/') + name;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    return dir;
}

// A scratch folder named after the running test.
inline QString testScratchDir() {
    return scratchDir(QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
}

// Where the simulated adapters' port links go: under the temporary folder rather than the scratch one,
// since the driver reports port names of at most 63 bytes, as a tty name would be.
inline QString portLinkDir(const char* prefix) {
    return QDir::tempPath() + QLatin1Char('/') + QLatin1String(prefix) +
           QStringLiteral("-%1").arg(QCoreApplication::applicationPid());
}

inline QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeFile(const QString& path, const QByteArray& bytes) {
    // Whole or not at all: the simulator reloads the file when it changes.
    const QString tmp = path + QStringLiteral(".new");
    QFile f(tmp);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(bytes);
        f.close();
        QFile::remove(path);
        QFile::rename(tmp, path);
    }
}

// A process whose standard output and error are collected as they come.
class Proc {
public:
    ~Proc() { stop(); }
    void start(const QString& program, const QStringList& args,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        p.setProcessEnvironment(env);
        p.start(program, args);
        p.waitForStarted(30000);
    }
    void pump(int ms = 50) {
        p.waitForReadyRead(ms);
        out += p.readAllStandardOutput();
        err += p.readAllStandardError();
    }
    // Waits (up to a generous time) until cond holds; false if it never did.
    bool waitFor(const std::function<bool()>& cond, int seconds = 60) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pump();
            if (p.state() == QProcess::NotRunning) {
                pump(0);
                return cond();
            }
        }
        return true;
    }
    bool waitErr(const QByteArray& what, int seconds = 60) {
        return waitFor([&] { return err.contains(what); }, seconds);
    }
    bool waitOut(const QByteArray& what, int seconds = 60) {
        return waitFor([&] { return out.contains(what); }, seconds);
    }
    // Waits for the end; the exit code, or -1 for a crash or a time-out.
    int finish(int seconds = 60) {
        waitFor([&] { return p.state() == QProcess::NotRunning; }, seconds);
        if (p.state() != QProcess::NotRunning)
            return -1;
        pump(0);
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    void terminate() { p.terminate(); }
    void kill() { p.kill(); }
    void stop() {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(30000);
        }
    }
    qint64 pid() const { return p.processId(); }

    QProcess p;
    QByteArray out;
    QByteArray err;
};

// The environment that makes the FTDI layer the simulator, with adapters from `config`.
inline QProcessEnvironment simEnvironment(const QString& config) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PRAVEX_D2XX_LIBRARY"), binary("PRAVEX_BIN_PRAVEX_D2XX_SIM"));
    env.insert(QStringLiteral("PRAVEX_D2XX_SIM_CONFIG"), config);
    env.insert(QStringLiteral("PRAVEX_DEVICE_MONITOR"), QStringLiteral("none"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    return env;
}

inline QByteArray adapterBlock(const QString& serial, const QString& tty) {
    return QStringLiteral("[adapter]\nserial = %1\ndescription = PRAVEX\ntype = FT232R\ntty = %2\n")
        .arg(serial, tty)
        .toLocal8Bit();
}

// The rows of a CSV file, without their CR LF; `complete` is false when the last row has no line end.
// A logger file's rows without line ends and without the time column, each time having been checked to be
// UTC with milliseconds (a row whose time is not one keeps it, so a comparison shows it).
inline QList<QByteArray> csvRows(const QByteArray& bytes, bool* complete = nullptr) {
    QList<QByteArray> rows = bytes.split('\n');
    if (complete)
        *complete = bytes.isEmpty() || bytes.endsWith("\r\n");
    if (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    static const QRegularExpression timed(
        QStringLiteral("^(.*);\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
    for (QByteArray& r : rows) {
        if (r.endsWith('\r'))
            r.chop(1);
        if (r == " ;voltage;time")
            r = " ;voltage";
        else if (const auto m = timed.match(QString::fromLatin1(r)); m.hasMatch())
            r = m.captured(1).toLatin1();
    }
    return rows;
}

} // namespace logtest
