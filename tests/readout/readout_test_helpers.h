// A recorder standing in for the windows a StatusReadout drives: everything is written down as it arrives.
#pragma once

#include "StatusReadout.h"

#include <QList>
#include <QPointF>
#include <QStringList>

struct ReadoutRecorder : ReadoutLog, ReadoutChart, ReadoutCsv, LowBatBlink {
    bool failLog = false;
    QStringList entries; // since the last START
    QList<TColor> colours;
    QList<QPointF> points;
    double axisMin = 2.9, axisMax = 4.2;
    QStringList rows;
    int blinkStarts = 0, blinkStops = 0;

    void entryAdded(const QString& text, TColor colour) override;
    void entriesCleared() override {
        entries.clear();
        colours.clear();
    }
    void addPoint(double x, double y) override { points.append(QPointF(x, y)); }
    void clearPoints() override { points.clear(); }
    void setAxisRange(double minimum, double maximum) override {
        axisMin = minimum;
        axisMax = maximum;
    }
    void rowsReset(const QString& header) override { rows = QStringList{header}; }
    void rowAdded(const QString& row) override { rows.append(row); }
    void startBlinking() override { ++blinkStarts; }
    void stopBlinking() override { ++blinkStops; }

    void attach(StatusReadout& r) {
        r.setLog(this);
        r.setChart(this);
        r.setCsv(this);
        r.setBlink(this);
    }
    int logLines() const { return int(entries.size()); }
    QString lastLog() const { return entries.isEmpty() ? QString() : entries.constLast(); }
    TColor lastColour() const { return colours.isEmpty() ? TColor(0xFFFFFFFF) : colours.constLast(); }
};
