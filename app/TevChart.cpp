// Chart drawing and zoom. The live series is kept as two plain arrays (16 bytes a point); a repaint walks
// only the visible points (ChartLine.h). Recordings are drawn under it, each in its own colour.
#include "TevChart.h"

#include <QContextMenuEvent>
#include <QLinearGradient>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>
#include <algorithm>
#include <cmath>

const QColor TTevChart::SeriesColor(255, 0, 0);
const QColor TTevChart::TitleColor(0, 128, 255);

namespace {

constexpr int kRepaintMs = 40;
const QColor kSilver(192, 192, 192);
const QColor kGrid(224, 224, 224);

QFont pixelFont(const char* family, int px, bool bold = false) {
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(px);
    f.setBold(bold);
    return f;
}

// A "nice" tick step of at least minStep: 1, 2 or 5 times a power of ten.
double niceStep(double minStep) {
    if (!(minStep > 0) || !std::isfinite(minStep))
        return 1;
    const double p = std::pow(10.0, std::floor(std::log10(minStep)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= minStep)
            return m * p;
    return 10 * p;
}

QString axisNumber(double v, double step) {
    const int decimals = step >= 1 ? 0 : std::min(6, int(std::ceil(-std::log10(step) - 1e-9)));
    return QLocale::system().toString(v, 'f', decimals);
}
} // namespace

TTevChart::TTevChart(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
    FRepaintTimer.setSingleShot(true);
    FRepaintTimer.setInterval(kRepaintMs);
    connect(&FRepaintTimer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

TTevChart::~TTevChart() = default;

void TTevChart::AddXY(double x, double y) {
    FX.push_back(x);
    FY.push_back(y);
    UpdateChartBlocks(FY.data(), FY.size(), &FBlocks);
    scheduleRepaint();
}

void TTevChart::Clear() {
    FX.clear();
    FY.clear();
    FBlocks.clear();
    update();
}

void TTevChart::ReservePoints(size_t n) {
    FX.reserve(n);
    FY.reserve(n);
}

void TTevChart::scheduleRepaint() {
    if (!FRepaintTimer.isActive())
        FRepaintTimer.start();
}

void TTevChart::SetLeftAxisRange(double minimum, double maximum) {
    if (minimum == FLeftMin && maximum == FLeftMax)
        return;
    FLeftMin = minimum;
    FLeftMax = maximum;
    scheduleRepaint();
}

void TTevChart::SetRecordings(std::vector<const RecordingSeries*> recordings) {
    FRecordings = std::move(recordings);
    update();
}

void TTevChart::SetWallClock(bool on) {
    FWallClock = on;
    update();
}

double TTevChart::RecordingOffset(const RecordingSeries& recording) const {
    if (!FWallClock || !recording.hasTimes)
        return 0;
    // Seconds after the earliest recording's first reading; only when every recording has times.
    qint64 earliest = recording.firstTimeMs;
    for (const RecordingSeries* r : FRecordings) {
        if (!r->hasTimes)
            return 0;
        if (r->count() > 0)
            earliest = std::min(earliest, r->firstTimeMs);
    }
    return double(recording.firstTimeMs - earliest) / 1000.0;
}

void TTevChart::drawLegend(QPainter& p, const QRectF& front) const {
    if (FRecordings.empty())
        return;
    p.setFont(pixelFont("Verdana", 10));
    const QFontMetricsF fm(p.font());
    QList<std::pair<QString, QColor>> entries{{tr("live"), SeriesColor}};
    for (const RecordingSeries* r : FRecordings)
        entries.append({fm.elidedText(r->name, Qt::ElideMiddle, 220), r->colour});
    qreal wide = 0;
    for (const auto& e : entries)
        wide = std::max(wide, fm.horizontalAdvance(e.first));
    const qreal rowHeight = fm.height() + 2;
    const QRectF box(front.right() - wide - 34, front.top() + 4, wide + 30, rowHeight * entries.size() + 6);
    p.setPen(kSilver);
    p.setBrush(QColor(255, 255, 255, 220));
    p.drawRect(box);
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const qreal y = box.top() + 3 + rowHeight * i + rowHeight / 2;
        p.setPen(QPen(entries[i].second, 3));
        p.drawLine(QPointF(box.left() + 6, y), QPointF(box.left() + 20, y));
        p.setPen(Qt::black);
        p.drawText(QRectF(box.left() + 24, y - rowHeight / 2, wide + 4, rowHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, entries[i].first);
    }
}

void TTevChart::SetShowLabels(bool show) {
    FShowLabels = show;
    update();
}

void TTevChart::SetView3D(bool on) {
    FView3D = on;
    update();
}

QRectF TTevChart::fullRect() const {
    double x0 = 0, x1 = 2;
    bool any = false;
    const auto take = [&](double a, double b) {
        x0 = any ? std::min(x0, a) : a;
        x1 = any ? std::max(x1, b) : b;
        any = true;
    };
    if (!FX.empty())
        take(FX.front(), FX.back());
    double y0 = FLeftMin, y1 = FLeftMax;
    for (const RecordingSeries* r : FRecordings) {
        if (r->count() == 0)
            continue;
        const double offset = RecordingOffset(*r);
        take(r->x.front() + offset, r->x.back() + offset);
        // The live axis widens in steps of 0.2 V beyond a reading; a recording gets the same margin.
        y0 = std::min(y0, r->yMin - 0.2);
        y1 = std::max(y1, r->yMax + 0.2);
    }
    if (!(x1 > x0))
        x1 = x0 + 2;
    if (!(y1 > y0))
        y1 = y0 + 1;
    return QRectF(x0, y0, x1 - x0, y1 - y0);
}

QRectF TTevChart::ViewRect() const {
    return (FZoomed || (FAnim && IsAnimating())) ? FView : fullRect();
}

bool TTevChart::IsAnimating() const {
    return FAnim && FAnim->state() == QAbstractAnimation::Running;
}

void TTevChart::animateTo(const QRectF& target, bool zoomedAfter, bool animated) {
    const QRectF from = ViewRect();
    if (FAnim) {
        FAnim->stop();
        delete FAnim;
        FAnim = nullptr;
    }
    if (!animated) {
        FView = target;
        FZoomed = zoomedAfter;
        update();
        return;
    }
    FView = from;
    FAnim = new QVariantAnimation(this);
    FAnim->setDuration(250);
    FAnim->setStartValue(from);
    FAnim->setEndValue(target);
    FAnim->setEasingCurve(QEasingCurve::OutCubic);
    connect(FAnim, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        FView = v.toRectF();
        update();
    });
    connect(FAnim, &QVariantAnimation::finished, this, [this, target, zoomedAfter] {
        FView = target;
        FZoomed = zoomedAfter;
        update();
    });
    FAnim->start();
}

void TTevChart::ZoomTo(const QRectF& values, bool animated) {
    const QRectF r = values.normalized();
    if (r.width() <= 0 || r.height() <= 0)
        return;
    animateTo(r, true, animated);
}

void TTevChart::UndoZoom(bool animated) {
    if (!FZoomed && !IsAnimating())
        return;
    animateTo(fullRect(), false, animated);
}

qreal TTevChart::depth() const {
    const QRectF o = outerPlotRect();
    return FView3D ? std::floor(std::min(o.width(), o.height()) * Chart3DPercent / 100.0) : 0.0;
}

QRectF TTevChart::outerPlotRect() const {
    // Room for the title above, the left axis labels, the bottom labels, axis title and footer.
    return QRectF(48, 26, std::max(10, width() - 48 - 14), std::max(10, height() - 26 - 58));
}

QRectF TTevChart::PlotRect() const {
    const qreal d = depth();
    const QRectF o = outerPlotRect();
    return QRectF(o.left(), o.top() + d, o.width() - d, o.height() - d);
}

QPointF TTevChart::MapToWidget(double x, double y) const {
    const QRectF f = PlotRect();
    const QRectF v = ViewRect();
    return QPointF(f.left() + (x - v.left()) / v.width() * f.width(),
                   f.bottom() - (y - v.top()) / v.height() * f.height());
}

void TTevChart::drawSeries(QPainter& p, const QRectF& front, const QRectF& view) const {
    const double d = FView3D ? front.top() - outerPlotRect().top() : 0;
    for (const RecordingSeries* r : FRecordings)
        DrawChartLine(p, r->lineData(RecordingOffset(*r)), front, view, d);
    ChartLineData live;
    live.x = FX.data();
    live.y = FY.data();
    live.n = FX.size();
    live.blocks = &FBlocks;
    live.colour = SeriesColor;
    DrawChartLine(p, live, front, view, d);
}

QList<TTevChart::TValueLabel> TTevChart::ValueLabels() const {
    const QRectF front = PlotRect();
    const QRectF view = ViewRect();
    QList<TValueLabel> labels;
    if (view.width() <= 0 || view.height() <= 0)
        return labels;
    const auto first = std::lower_bound(FX.begin(), FX.end(), view.left());
    const auto last = std::upper_bound(FX.begin(), FX.end(), view.right());
    const QFontMetricsF fm(pixelFont("Verdana", 10));
    const QLocale locale = QLocale::system();
    QRectF previous;
    for (auto it = first; it != last; ++it) {
        const size_t i = size_t(it - FX.begin());
        const double px = front.left() + (FX[i] - view.left()) / view.width() * front.width();
        const double y = FY[i];
        const double py = front.bottom() - (y - view.top()) / view.height() * front.height();
        const QString text = locale.toString(y, 'g', 6);
        const QSizeF size = fm.size(0, text) + QSizeF(6, 2);
        QRectF box(px - size.width() / 2, py - size.height() - 6, size.width(), size.height());
        // Below the point where above it would leave the plot.
        if (box.top() < front.top())
            box.moveTop(py + 6);
        // Left to right, each label at least 2 px clear of the last one drawn: with thousands of points
        // about one point per label's width is labelled, and no two labels overlap.
        if (!previous.isNull() && box.left() < previous.right() + 2)
            continue;
        labels.append({QPointF(px, py), box, text});
        previous = box;
    }
    return labels;
}

void TTevChart::drawLabels(QPainter& p) const {
    p.setFont(pixelFont("Verdana", 10));
    for (const TValueLabel& l : ValueLabels()) {
        p.setPen(kSilver);
        p.drawLine(l.point, QPointF(l.point.x(), l.box.top() > l.point.y() ? l.box.top() : l.box.bottom()));
        p.setBrush(QColor(255, 255, 225));
        p.drawRect(l.box);
        p.setPen(Qt::black);
        p.drawText(l.box, Qt::AlignCenter, l.text);
    }
}

void TTevChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // Background: a soft gradient that ends in white at the top.
    QLinearGradient bg(0, height(), 0, 0);
    bg.setColorAt(0, QColor(214, 226, 240));
    bg.setColorAt(1, Qt::white);
    p.fillRect(rect(), bg);

    const QRectF outer = outerPlotRect();
    const QRectF front = PlotRect();
    const QRectF view = ViewRect();
    const qreal d = depth();

    if (d > 0) {
        // Left side wall and floor reaching back to the wall.
        p.setPen(kSilver);
        p.setBrush(QColor(240, 240, 240));
        p.drawPolygon(QPolygonF({front.topLeft(), front.topLeft() + QPointF(d, -d),
                                 front.bottomLeft() + QPointF(d, -d), front.bottomLeft()}));
        p.drawPolygon(QPolygonF({front.bottomLeft(), front.bottomLeft() + QPointF(d, -d),
                                 front.bottomRight() + QPointF(d, -d), front.bottomRight()}));
    }
    const QRectF wall = front.translated(d, -d);
    p.setPen(kSilver);
    p.setBrush(Qt::white);
    p.drawRect(wall);

    // Left axis: ticks at a step that keeps labels about 20 px apart.
    p.setFont(pixelFont("Verdana", 10));
    const QFontMetricsF fm(p.font());
    const double yStep = niceStep(view.height() * 20.0 / std::max(1.0, front.height()));
    for (double v = std::ceil(view.top() / yStep - 1e-9) * yStep; v <= view.bottom() + 1e-9; v += yStep) {
        const qreal py = front.bottom() - (v - view.top()) / view.height() * front.height();
        p.setPen(kGrid);
        p.drawLine(QPointF(wall.left() + 1, py - d), QPointF(wall.right() - 1, py - d));
        p.setPen(Qt::black);
        p.drawLine(QPointF(front.left() - 4, py), QPointF(front.left(), py));
        p.drawText(QRectF(0, py - 8, front.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   axisNumber(v, yStep));
    }
    // Bottom axis: an increment of 2 seconds, widened to multiples of 2 when labels would collide.
    const double widest = fm.horizontalAdvance(axisNumber(view.right(), 1)) + 12;
    double xStep = 2;
    while (xStep / view.width() * front.width() < widest && xStep < 1e15)
        xStep *= 2;
    for (double v = std::ceil(view.left() / xStep - 1e-9) * xStep; v <= view.right() + 1e-9; v += xStep) {
        const qreal px = front.left() + (v - view.left()) / view.width() * front.width();
        p.setPen(kGrid);
        p.drawLine(QPointF(px + d, wall.top() + 1), QPointF(px + d, wall.bottom() - 1));
        p.setPen(Qt::black);
        p.drawLine(QPointF(px, front.bottom()), QPointF(px, front.bottom() + 4));
        p.drawText(QRectF(px - 40, front.bottom() + 5, 80, 14), Qt::AlignHCenter | Qt::AlignTop,
                   axisNumber(v, xStep));
    }
    p.setPen(Qt::black);
    p.drawLine(front.bottomLeft(), front.bottomRight());
    p.drawLine(front.bottomLeft(), front.topLeft());

    p.save();
    p.setClipRect(outer.adjusted(-1, -1, 1, 1));
    drawSeries(p, front, view);
    if (FShowLabels)
        drawLabels(p);
    p.restore();
    drawLegend(p, front);

    p.setFont(pixelFont("Verdana", 11));
    p.setPen(Qt::black);
    p.drawText(QRectF(front.left(), front.bottom() + 20, front.width(), 16), Qt::AlignHCenter,
               tr("seconds [t]"));
    p.setFont(pixelFont("Verdana", 13));
    p.setPen(TitleColor);
    p.drawText(QRectF(8, 4, width() - 16, 20), Qt::AlignLeft | Qt::AlignVCenter, tr("Voltage [V]"));
    p.setFont(pixelFont("Verdana", 11));
    p.setPen(QColor(128, 128, 128));
    p.drawText(QRectF(8, height() - 18, width() - 16, 16), Qt::AlignRight | Qt::AlignVCenter, tr("Pravex"));

    if (FBand) {
        p.setPen(QPen(Qt::black, 1, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRect(FBandStart, FBandEnd).normalized());
    }
}

QImage TTevChart::RenderToImage() {
    QImage image(size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    FRepaintTimer.stop();
    // The chart alone: the switches that sit on it are the window's, not part of the picture.
    render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    return image;
}

void TTevChart::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    FBand = true;
    FBandStart = FBandEnd = event->position().toPoint();
}

void TTevChart::mouseMoveEvent(QMouseEvent* event) {
    if (!FBand)
        return QWidget::mouseMoveEvent(event);
    FBandEnd = event->position().toPoint();
    update();
}

void TTevChart::mouseReleaseEvent(QMouseEvent* event) {
    if (!FBand || event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    FBand = false;
    FBandEnd = event->position().toPoint();
    const QPoint delta = FBandEnd - FBandStart;
    update();
    if (std::abs(delta.x()) < 4 && std::abs(delta.y()) < 4)
        return;
    // Dragging towards the top left asks for the whole series again, as the usual chart controls do.
    if (delta.x() < 0 || delta.y() < 0) {
        UndoZoom();
        return;
    }
    const QRectF f = PlotRect();
    const QRectF v = ViewRect();
    auto toValue = [&](QPoint pt) {
        return QPointF(v.left() + (pt.x() - f.left()) / f.width() * v.width(),
                       v.top() + (f.bottom() - pt.y()) / f.height() * v.height());
    };
    const QPointF a = toValue(FBandStart), b = toValue(FBandEnd);
    ZoomTo(QRectF(QPointF(a.x(), b.y()), QPointF(b.x(), a.y())));
}

void TTevChart::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        UndoZoom();
}

void TTevChart::contextMenuEvent(QContextMenuEvent* event) {
    if (FPopup)
        FPopup->popup(event->globalPos());
}
