// One line of the voltage chart drawn as a pixel-column summary: per column the first, lowest, highest and
// last value, which is what a full polyline would light up at that resolution. A long series can carry
// block summaries, so a repaint of many million points walks thousands of blocks instead.
#pragma once

#include <QColor>
#include <QPolygonF>
#include <QRectF>
#include <cstddef>
#include <vector>

class QPainter;

struct ChartBlock {
    double yFirst, yMin, yMax, yLast;
    bool minFirst; // the lowest value comes before the highest
};

// The vertices a series drew last, kept while it, the view and the plot stay as they were: a recording
// that does not change costs a repaint almost nothing while the live series grows beside it.
struct ChartLineCache {
    size_t n = 0;
    quint64 generation = 0;
    double xOffset = 0;
    QRectF front, view;
    bool byColumn = false;
    QPolygonF line;
};

struct ChartLineData {
    const double* x = nullptr;
    const double* y = nullptr;
    size_t n = 0;
    double xOffset = 0; // added to every x
    // Summaries of points [i * BlockPoints, (i + 1) * BlockPoints); may be null.
    const std::vector<ChartBlock>* blocks = nullptr;
    QColor colour;
    ChartLineCache* cache = nullptr; // may be null
    quint64 generation = 0;          // changes whenever the points do
};

inline constexpr size_t ChartBlockPoints = 64;

// Appends the summaries of the whole blocks among y[0, n) that blocks does not cover yet.
void UpdateChartBlocks(const double* y, size_t n, std::vector<ChartBlock>* blocks);

// depth: the 3D ribbon's depth in pixels (0 for the flat view).
void DrawChartLine(QPainter& p, const ChartLineData& line, const QRectF& front, const QRectF& view,
                   double depth);
