// What the readout of status lines drives outside itself: the tools window's log view, its chart, the CSV
// rows' keeper and the main window's low-battery blink. Each window implements the part it shows; every
// sink is optional, so the readout also runs with no window at all.
#pragma once

#include "common/TevTools.h"

#include <QString>

// The tools window's terminal log, or a log kept without a window.
class ReadoutLog {
public:
    virtual ~ReadoutLog() = default;
    // One entry in its colour; a view shows it in the log's font (StatusReadout::logFontName()).
    virtual void entryAdded(const QString& text, TColor colour) = 0;
    // START empties the log.
    virtual void entriesCleared() = 0;
};

// The tools window's voltage chart: one series and a fixed left axis.
class ReadoutChart {
public:
    virtual ~ReadoutChart() = default;
    virtual void addPoint(double x, double y) = 0;
    virtual void clearPoints() = 0;
    virtual void setAxisRange(double minimum, double maximum) = 0;
};

// Told of every CSV row the readout keeps (it keeps them itself too, see StatusReadout::csvRows()).
class ReadoutCsv {
public:
    virtual ~ReadoutCsv() = default;
    virtual void rowsReset(const QString& header) = 0;
    virtual void rowAdded(const QString& row) = 0;
};

// The main window's 400 ms blink timer and its "Low BAT !" label.
class LowBatBlink {
public:
    virtual ~LowBatBlink() = default;
    // Called only when blinking goes from off to on: enable the timer.
    virtual void startBlinking() = 0;
    // Called for every line whose tag is not "LBAT": disable the timer and hide the label.
    virtual void stopBlinking() = 0;
};
