// Shared by the adapter watcher tests: the D2XX simulator with its journal read as calls, and the shared
// event-loop waits and scratch folders.
#pragma once

#include "SimD2xx.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <vector>

namespace watchertest {

using simtest::Pump;
using simtest::ScratchDir;
using simtest::WaitFor;

void WriteTextFile(const QString& path, const QString& text);

// The D2XX simulator as the layer's backend, driven by its adapter file.
class TSim {
public:
    // Loads the simulator (PRAVEX_BIN_PRAVEX_D2XX_SIM) with this config; false when it is not built.
    bool Start(const QString& config) { return simtest::StartSimulator(config); }
    // Rewrites the config and applies it at once (plug changes are announced to the watchers).
    void Change(const QString& config) { simtest::ChangeSimulator(config); }
    // Rewrites the config only; the simulator notices the file change by itself.
    void Rewrite(const QString& config) { simtest::RewriteSimulator(config); }
    void ClearJournal() { simtest::ClearJournal(); }
    // Journal lines without their time stamps, and the time stamps (seconds) alongside.
    QStringList Calls() const;
    std::vector<double> Times() const;
    // Calls whose text starts with one of these names.
    QStringList CallsOf(const QStringList& names) const;
    int Count(const QString& name) const;
    // The bytes an adapter's user area holds now.
    QByteArray UserArea(const QString& serial) const;
};

// One [adapter] block of the simulator's config.
QString Adapter(const QString& serial, const QString& tty, const QString& more = {});

} // namespace watchertest
