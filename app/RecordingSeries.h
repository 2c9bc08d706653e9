// One opened recording as the chart draws it: its points (x in seconds from its first reading), the block
// summaries that keep its repaint short, its colour and its legend name.
#pragma once

#include "ChartLine.h"
#include "readout/CsvRecordingReader.h"

#include <QColor>
#include <QString>
#include <limits>
#include <vector>

struct RecordingSeries {
    QString path;
    QString name;
    QColor colour;
    std::vector<double> x, y;
    std::vector<ChartBlock> blocks;
    bool hasTimes = false;
    qint64 firstTimeMs = 0; // UTC milliseconds of the first reading, when it has times
    double yMin = std::numeric_limits<double>::infinity();
    double yMax = -std::numeric_limits<double>::infinity();

    quint64 generation = 0;       // counts changes of the points
    mutable ChartLineCache drawn; // what the chart drew last

    void append(CsvRecordingReader::Points&& points);
    void clear();
    size_t count() const { return x.size(); }
    ChartLineData lineData(double xOffset) const;
};
