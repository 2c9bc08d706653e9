#include "WindowPlaceFit.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <limits>

namespace {

// Squared distance from a point to the nearest point of a rectangle (0 inside); 64-bit, since stored
// places may be anywhere an int reaches.
qint64 DistanceSquared(QPoint p, const QRect& r) {
    const qint64 dx = p.x() < r.left()    ? qint64(r.left()) - p.x()
                      : p.x() > r.right() ? qint64(p.x()) - r.right()
                                          : 0;
    const qint64 dy = p.y() < r.top()      ? qint64(r.top()) - p.y()
                      : p.y() > r.bottom() ? qint64(p.y()) - r.bottom()
                                           : 0;
    // Saturate rather than overflow for places near the ends of the int range.
    const qint64 limit = qint64(3037000499); // floor(sqrt(INT64_MAX / 2))
    const qint64 cx = std::min(dx, limit);
    const qint64 cy = std::min(dy, limit);
    return cx * cx + cy * cy;
}

// Start of a span of length len moved the least to lie within [lo, lo + room): the low end wins when it
// is longer than the room.
int ClampSpan(qint64 start, int len, int lo, int room) {
    if (len >= room)
        return lo;
    return int(std::clamp<qint64>(start, lo, qint64(lo) + room - len));
}

} // namespace

bool TitleBarReachable(const QRect& frame, const QList<QRect>& areas, const TTitleBarGrip& grip) {
    if (!frame.isValid())
        return false;
    const QRect bar(frame.left(), frame.top(), frame.width(), std::min(grip.height, frame.height()));
    const int needWidth = std::min(grip.minWidth, bar.width());
    const int needHeight = std::min(grip.minHeight, bar.height());
    for (const QRect& area : areas) {
        const QRect on = bar & area;
        if (on.width() >= needWidth && on.height() >= needHeight)
            return true;
    }
    return false;
}

QRect FitWindowPlace(const QRect& frame, const QList<QRect>& areas, const TTitleBarGrip& grip) {
    QList<QRect> usable;
    for (const QRect& a : areas)
        if (a.isValid())
            usable.append(a);
    if (usable.isEmpty() || !frame.isValid() || TitleBarReachable(frame, usable, grip))
        return frame;
    // Nearest to the middle of the title bar, the part the user would look for; ties go to the first.
    const QPoint bar(int((qint64(frame.left()) + frame.right()) / 2),
                     frame.top() + std::min(grip.height, frame.height()) / 2);
    const QRect* nearest = &usable.first();
    qint64 best = std::numeric_limits<qint64>::max();
    for (const QRect& a : usable) {
        const qint64 d = DistanceSquared(bar, a);
        if (d < best) {
            best = d;
            nearest = &a;
        }
    }
    const QRect& area = *nearest;
    const int width = std::min(frame.width(), area.width());
    const int height = std::min(frame.height(), area.height());
    return QRect(ClampSpan(frame.left(), width, area.left(), area.width()),
                 ClampSpan(frame.top(), height, area.top(), area.height()), width, height);
}

QList<QRect> CurrentScreenAreas() {
    QList<QRect> areas;
    if (const QScreen* primary = QGuiApplication::primaryScreen())
        areas.append(primary->availableGeometry());
    for (const QScreen* s : QGuiApplication::screens())
        if (s != QGuiApplication::primaryScreen())
            areas.append(s->availableGeometry());
    return areas;
}
