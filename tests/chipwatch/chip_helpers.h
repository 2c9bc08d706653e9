// Shared pieces of the chip watcher tests: adapter records, a watcher filled by hand, and clean-up of the
// one window of the process.
#pragma once

#include "SimD2xx.h"
#include "frmFTListU.h"
#include "ftdi/TevFT232a.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

struct TAdapterRow {
    TAdapterRow(QString s, QString p, int a = 1, QString d = QStringLiteral("USB Serial"), QString o = {})
        : serial(std::move(s)), port(std::move(p)), active(a), description(std::move(d)),
          orvak(std::move(o)) {}
    QString serial;
    QString port;
    int active = 1;
    QString description = QStringLiteral("USB Serial");
    QString orvak;
    QString chip = QStringLiteral("FT232R");
};

// Writes the adapters into the watcher's records and count; the active serial follows the record with
// Active 0 unless one is given.
void FillWatcher(TTevFT232a& watcher, const std::vector<TAdapterRow>& adapters);
// ShowChipWatcher with the watcher's own fields, as the main window does.
void Report(TTevFT232a& watcher);
// Runs the fade-in to its end without waiting for its timer.
void FinishFadeIn(TfrmFTList* form);
// Closes and frees the window if one exists.
void DestroyChipWatcher();
// Stops the window's timers so a test drives their ticks itself.
void StopTimers(TfrmFTList* form);
QString ArtefactPath(const QString& name);
// Empties this test program's own settings store, so runs and tests start from the defaults.
void ClearSettings();

// The D2XX simulator as the layer's backend and the event-loop wait, from the shared test support.
using simtest::ChangeSimulator;
using simtest::ClearJournal;
using simtest::StartSimulator;
using simtest::WaitFor;

// Journal lines, without time stamps, whose call name is one of these.
QStringList JournalOf(const QStringList& names);
// One adapter block of the simulator's file.
QString SimAdapter(const QString& serial, const QString& tty);
