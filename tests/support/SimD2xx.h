// The D2XX simulator for tests: scratch folders, its adapter file replaced in one step, the simulator loaded
// as the layer's backend, its journal and test hooks, and waits on the real event loop.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QString>
#include <QThread>
#include <QUuid>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>

namespace simtest {

// What needs no D2XX layer is inline here: the tools tests use it without linking pravex_ftdi, which the
// rest (SimD2xx.cpp) needs.

// A fresh folder of its own under PRAVEX_TEST_TMP (or the system temp folder).
inline QString ScratchDir(const QString& name) {
    QString base = qEnvironmentVariable("PRAVEX_TEST_TMP");
    if (base.isEmpty())
        base = QDir::tempPath() + QStringLiteral("/pravex-tests");
    const QString dir = base + QLatin1Char('/') + name + QLatin1Char('-') +
                        QUuid::createUuid().toString(QUuid::WithoutBraces);
    QDir().mkpath(dir);
    return dir;
}

// Replaces the file in one step (written beside it, then renamed), so the simulator's folder watch never
// reads half of it. A failure is a test failure.
inline bool WriteFileAtomically(const QString& path, const QByteArray& bytes) {
    const QString part = path + QStringLiteral(".part");
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        ADD_FAILURE() << "cannot write " << part.toStdString();
        return false;
    }
    file.close();
    if (std::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData()) != 0) {
        ADD_FAILURE() << "cannot rename " << part.toStdString();
        return false;
    }
    return true;
}

inline bool WriteFileAtomically(const QString& path, const QString& text) {
    return WriteFileAtomically(path, text.toUtf8());
}

// Runs the real event loop until pred holds or the time is up; returns pred's last value.
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 20000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// Runs the event loop for about ms milliseconds.
inline void Pump(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
}

// Writes the adapter file, points the simulator at it and loads it (PRAVEX_BIN_PRAVEX_D2XX_SIM) as the
// layer's backend. False, with the reason in error, when the library is not built or does not load. The
// file is one for the whole process: the simulator's watch keeps to the folder it was first given.
bool StartSimulator(const QString& config, QString* error = nullptr);
// Rewrites the adapter file and has the simulator read it at once (plug changes are announced).
void ChangeSimulator(const QString& config);
// Rewrites the adapter file only; the simulator notices the change by itself.
void RewriteSimulator(const QString& config);
QString SimulatorConfigPath();
// Has the simulator read its file again now; false when the loaded library has no such hook.
bool ReloadSimulator();

void ClearJournal();
// The journal as the simulator keeps it: one call a line, after its time stamp in seconds.
QString JournalText();

// A further test hook of the loaded simulator, or null.
void* SimSymbolAddress(const char* name);
template <class F> F SimSymbol(const char* name) {
    return reinterpret_cast<F>(SimSymbolAddress(name));
}

} // namespace simtest
