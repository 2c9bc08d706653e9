#include "RecordingSeries.h"

#include <algorithm>

void RecordingSeries::append(CsvRecordingReader::Points&& points) {
    const size_t added = points.y.size();
    // A first load is taken over whole: a large recording is not held twice.
    if (x.empty()) {
        x = std::move(points.x);
        y = std::move(points.y);
    } else {
        x.insert(x.end(), points.x.begin(), points.x.end());
        y.insert(y.end(), points.y.begin(), points.y.end());
    }
    for (size_t i = y.size() - added; i < y.size(); ++i) {
        const double v = y[i];
        yMin = std::min(yMin, v);
        yMax = std::max(yMax, v);
    }
    UpdateChartBlocks(y.data(), y.size(), &blocks);
    ++generation;
}

void RecordingSeries::clear() {
    x.clear();
    y.clear();
    blocks.clear();
    ++generation;
    yMin = std::numeric_limits<double>::infinity();
    yMax = -std::numeric_limits<double>::infinity();
}

ChartLineData RecordingSeries::lineData(double xOffset) const {
    ChartLineData d;
    d.x = x.data();
    d.y = y.data();
    d.n = x.size();
    d.xOffset = xOffset;
    d.blocks = &blocks;
    d.colour = colour;
    d.cache = &drawn;
    d.generation = generation;
    return d;
}
