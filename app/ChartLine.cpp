#include "ChartLine.h"

#include <QPainter>
#include <QPen>
#include <QPolygonF>
#include <QVector>
#include <algorithm>
#include <cmath>

void UpdateChartBlocks(const double* y, size_t n, std::vector<ChartBlock>* blocks) {
    for (size_t b = blocks->size(); (b + 1) * ChartBlockPoints <= n; ++b) {
        const double* v = y + b * ChartBlockPoints;
        ChartBlock s{v[0], v[0], v[0], v[ChartBlockPoints - 1], true};
        size_t minAt = 0, maxAt = 0;
        for (size_t i = 1; i < ChartBlockPoints; ++i) {
            if (v[i] < s.yMin) {
                s.yMin = v[i];
                minAt = i;
            } else if (v[i] > s.yMax) {
                s.yMax = v[i];
                maxAt = i;
            }
        }
        s.minFirst = minAt <= maxAt;
        blocks->push_back(s);
    }
}

namespace {

// Cuts a segment to the part inside the rectangle (Liang-Barsky); false when nothing of it is inside.
bool clipToRect(QLineF* segment, const QRectF& r) {
    const double dx = segment->dx(), dy = segment->dy();
    double t0 = 0, t1 = 1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {segment->x1() - r.left(), r.right() - segment->x1(), segment->y1() - r.top(),
                         r.bottom() - segment->y1()};
    for (int k = 0; k < 4; ++k) {
        if (p[k] == 0) {
            if (q[k] < 0)
                return false;
            continue;
        }
        const double t = q[k] / p[k];
        if (p[k] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1)
            return false;
    }
    const QPointF a = segment->p1();
    *segment = QLineF(a + QPointF(dx * t0, dy * t0), a + QPointF(dx * t1, dy * t1));
    return true;
}

// Collects the values that fall into one pixel column and emits them as up to four vertices.
class ColumnLine {
public:
    ColumnLine(QPolygonF* line, double oy, double sy) : m_line(line), m_oy(oy), m_sy(sy) {}
    void add(long column, double y) {
        if (!m_started || column != m_col) {
            if (m_started)
                flush();
            m_started = true;
            m_col = column;
            m_first = m_min = m_max = m_last = y;
            m_minAt = m_maxAt = m_seq;
        } else {
            m_last = y;
            if (y < m_min) {
                m_min = y;
                m_minAt = m_seq;
            } else if (y > m_max) {
                m_max = y;
                m_maxAt = m_seq;
            }
        }
        ++m_seq;
    }
    void flush() {
        const double px = double(m_col);
        m_line->append(QPointF(px, m_oy - m_first * m_sy));
        if (m_minAt < m_maxAt) {
            m_line->append(QPointF(px, m_oy - m_min * m_sy));
            m_line->append(QPointF(px, m_oy - m_max * m_sy));
        } else {
            m_line->append(QPointF(px, m_oy - m_max * m_sy));
            m_line->append(QPointF(px, m_oy - m_min * m_sy));
        }
        m_line->append(QPointF(px, m_oy - m_last * m_sy));
    }

private:
    QPolygonF* m_line;
    double m_oy, m_sy;
    bool m_started = false;
    long m_col = 0;
    double m_first = 0, m_min = 0, m_max = 0, m_last = 0;
    size_t m_seq = 0, m_minAt = 0, m_maxAt = 0;
};

} // namespace

namespace {

// The vertices to draw: the visible points themselves, or four a pixel column (byColumn).
QPolygonF visibleLine(const ChartLineData& data, const QRectF& front, const QRectF& view, bool* byColumnOut) {
    const double* X = data.x;
    const double* Y = data.y;
    const size_t count = data.n;
    const double* first = std::lower_bound(X, X + count, view.left() - data.xOffset);
    const double* last = std::upper_bound(X, X + count, view.right() - data.xOffset);
    size_t i0 = size_t(first - X);
    size_t i1 = size_t(last - X);
    // One point either side keeps the line running to the plot's edges.
    if (i0 > 0)
        --i0;
    if (i1 < count)
        ++i1;
    const double sx = front.width() / view.width(), sy = front.height() / view.height();
    const double ox = front.left() - (view.left() - data.xOffset) * sx, oy = front.bottom() + view.top() * sy;
    QPolygonF line;
    const size_t n = i1 - i0;
    const int columns = std::max(1, int(front.width()));
    const auto columnOf = [&](size_t i) { return std::lround(std::floor(ox + X[i] * sx)); };
    const bool byColumn = n > size_t(columns) * 4; // then four vertices a column
    *byColumnOut = byColumn;
    if (!byColumn) {
        line.reserve(qsizetype(n));
        for (size_t i = i0; i < i1; ++i)
            line.append(QPointF(ox + X[i] * sx, oy - Y[i] * sy));
    } else {
        line.reserve(columns * 4 + 8);
        ColumnLine acc(&line, oy, sy);
        size_t i = i0;
        // Blocks only where many fit in a column; one inside a column stands for its points there.
        const std::vector<ChartBlock>* blocks = data.blocks;
        if (blocks && n >= size_t(columns) * ChartBlockPoints * 2) {
            for (; i < i1 && i % ChartBlockPoints != 0; ++i)
                acc.add(columnOf(i), Y[i]);
            for (size_t b = i / ChartBlockPoints; i + ChartBlockPoints <= i1 && b < blocks->size();
                 ++b, i += ChartBlockPoints) {
                const ChartBlock& s = (*blocks)[b];
                const long c = columnOf(i);
                if (columnOf(i + ChartBlockPoints - 1) != c) {
                    // Across a column's edge: its points go to their own columns.
                    for (size_t k = i; k < i + ChartBlockPoints; ++k)
                        acc.add(columnOf(k), Y[k]);
                    continue;
                }
                acc.add(c, s.yFirst);
                acc.add(c, s.minFirst ? s.yMin : s.yMax);
                acc.add(c, s.minFirst ? s.yMax : s.yMin);
                acc.add(c, s.yLast);
            }
        }
        for (; i < i1; ++i)
            acc.add(columnOf(i), Y[i]);
        acc.flush();
    }
    return line;
}

} // namespace

static void drawVertices(QPainter& p, const QColor& colour, const QPolygonF& line, bool byColumn,
                         const QRectF& front, double depth);

void DrawChartLine(QPainter& p, const ChartLineData& data, const QRectF& front, const QRectF& view,
                   double depth) {
    if (data.n == 0)
        return;
    ChartLineCache* cache = data.cache;
    if (!cache || cache->n != data.n || cache->generation != data.generation ||
        cache->xOffset != data.xOffset || cache->front != front || cache->view != view) {
        ChartLineCache fresh;
        fresh.n = data.n;
        fresh.generation = data.generation;
        fresh.xOffset = data.xOffset;
        fresh.front = front;
        fresh.view = view;
        fresh.line = visibleLine(data, front, view, &fresh.byColumn);
        if (!cache)
            return drawVertices(p, data.colour, fresh.line, fresh.byColumn, front, depth);
        *cache = std::move(fresh);
    }
    drawVertices(p, data.colour, cache->line, cache->byColumn, front, depth);
}

static void drawVertices(QPainter& p, const QColor& colour, const QPolygonF& line, bool byColumn,
                         const QRectF& front, double depth) {
    const int columns = std::max(1, int(front.width()));
    if (depth > 0 && line.size() > 1) {
        // A ribbon reaching back to the wall: one shaded quad per segment, the line on its front edge. The
        // painter's clip is the whole box with its depth, so the line is cut at the axes here: beyond them
        // it would run over the side wall and above the scale.
        QVector<QLineF> inside;
        inside.reserve(line.size());
        for (qsizetype i = 1; i < line.size(); ++i) {
            QLineF segment(line[i - 1], line[i]);
            if (segment.p1() != segment.p2() && clipToRect(&segment, front))
                inside.append(segment);
        }
        const QPointF back(depth, -depth);
        p.setPen(Qt::NoPen);
        p.setBrush(colour.darker(140));
        for (const QLineF& segment : inside) {
            const QPointF quad[4] = {segment.p1(), segment.p2(), segment.p2() + back, segment.p1() + back};
            p.drawConvexPolygon(quad, 4);
        }
        p.setPen(QPen(colour, 2, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        p.setBrush(Qt::NoBrush);
        p.drawLines(inside);
        return;
    }
    p.setPen(QPen(colour, 2, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    p.setBrush(Qt::NoBrush);
    if (line.size() <= 2 * columns) {
        p.drawPolyline(line);
        return;
    }
    if (depth <= 0 && byColumn) {
        // Flat and dense: each column is one vertical run from its extremes to where the last column
        // ended, filled as a 2-pixel-wide rectangle as the pen would draw it; wide lines are the painter's
        // slowest work. Only a jump over empty columns needs a real line.
        QVector<QRectF> runs;
        QVector<QLineF> jumps;
        runs.reserve(line.size() / 4);
        for (qsizetype i = 0; i + 3 < line.size(); i += 4) {
            const double px = line[i].x();
            double top = line[i].y(), bottom = top;
            for (int k = 1; k < 4; ++k) {
                top = std::min(top, line[i + k].y());
                bottom = std::max(bottom, line[i + k].y());
            }
            if (i > 0) {
                const QPointF before = line[i - 1];
                if (px - before.x() <= 1.0) {
                    top = std::min(top, before.y());
                    bottom = std::max(bottom, before.y());
                } else {
                    jumps.append(QLineF(before, line[i]));
                }
            }
            runs.append(QRectF(px - 1, top - 1, 2, bottom - top + 2));
        }
        if (!jumps.isEmpty())
            p.drawLines(jumps);
        for (const QRectF& r : runs)
            p.fillRect(r, colour);
        return;
    }
    // A dense line doubles back on itself in every column; as one wide polyline the painter would fill
    // it as a single self-overlapping shape, which is slow. Separate segments give the same pixels.
    QVector<QLineF> segments;
    segments.reserve(line.size());
    for (qsizetype i = 1; i < line.size(); ++i)
        if (line[i] != line[i - 1])
            segments.append(QLineF(line[i - 1], line[i]));
    p.drawLines(segments);
}
