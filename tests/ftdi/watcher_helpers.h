// Shared by the adapter watcher tests: waiting on the real event loop, scratch directories, and the
// D2XX simulator's configuration and journal.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <vector>

namespace watchertest {

// Runs the event loop until pred holds or the time is up; returns pred's last value.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 15000);
// Runs the event loop for about ms milliseconds.
void Pump(int ms);

// A fresh directory under PRAVEX_TEST_TMP (or the system temp dir) for this test.
QString ScratchDir(const QString& name);
void WriteTextFile(const QString& path, const QString& text);

// The D2XX simulator as the layer's backend, driven by a config file in a scratch directory.
class TSim {
public:
    // Loads the simulator (PRAVEX_BIN_PRAVEX_D2XX_SIM) with this config; false when it is not built.
    bool Start(const QString& config);
    // Rewrites the config and applies it at once (plug changes are announced to the watchers).
    void Change(const QString& config);
    // Rewrites the config only; the simulator notices the file change by itself.
    void Rewrite(const QString& config);
    void ClearJournal();
    // Journal lines without their time stamps, and the time stamps (seconds) alongside.
    QStringList Calls() const;
    std::vector<double> Times() const;
    // Calls whose text starts with one of these names.
    QStringList CallsOf(const QStringList& names) const;
    int Count(const QString& name) const;
    // The bytes an adapter's user area holds now.
    QByteArray UserArea(const QString& serial) const;
    QString ConfigPath() const { return FPath; }

private:
    QString FPath;
};

// One [adapter] block of the simulator's config.
QString Adapter(const QString& serial, const QString& tty, const QString& more = {});

} // namespace watchertest
