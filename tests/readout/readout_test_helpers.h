// A recorder standing in for the windows a StatusReadout drives: the log is a real QTextEdit, the rest is
// written down as it arrives.
#pragma once

#include "StatusReadout.h"

#include <QList>
#include <QPointF>
#include <QStringList>
#include <QTextEdit>
#include <memory>

struct ReadoutRecorder : ReadoutLog, ReadoutChart, ReadoutCsv, LowBatBlink {
    std::unique_ptr<QTextEdit> view = std::make_unique<QTextEdit>();
    bool toolsWindow = true;
    bool failLog = false;
    QList<QPointF> points;
    double axisMin = 2.9, axisMax = 4.2;
    QStringList rows;
    int blinkStarts = 0, blinkStops = 0;

    QTextEdit* logView() override;
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
    int logLines() const { return view->document()->isEmpty() ? 0 : view->document()->blockCount(); }
    QString lastLog() const;
};
