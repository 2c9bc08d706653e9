// Shared by the D2XX layer tests: the simulator library loaded as the layer's backend with an adapter file
// written for the test, and its journal as parsed entries.
#pragma once

#include "SimD2xx.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace d2xxtest {

struct JournalEntry {
    double time = 0; // seconds, monotonic clock
    QString name;
    QMap<QString, QString> args; // "status" included
    int status() const { return args.value(QStringLiteral("status")).toInt(); }
};

using simtest::ClearJournal;
using simtest::JournalText;
using simtest::ScratchDir;
using simtest::WaitFor;
using simtest::WriteFileAtomically;

// Writes the adapter file, points the simulator at it and loads the simulator as the layer's backend.
// Returns false (with a test failure recorded) when the library is not there.
bool UseSimulator(const QString& configText, QString* configPath = nullptr);
// Rewrites the adapter file and makes the simulator read it at once.
void ReloadSimulator(const QString& configPath, const QString& configText);

std::vector<JournalEntry> Journal();
std::vector<JournalEntry> JournalOf(const QString& name);

} // namespace d2xxtest
